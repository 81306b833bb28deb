// The command line turned into a plan, and the commands run against the fake
// resident on a socket pair: what a user sees and the exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <thread>

#include "base/failure.h"
#include "base/image_file.h"
#include "mon/commands/cli.h"
#include "mon/commands/run.h"
#include "mon/fake_resident.h"
#include "support/test_support.h"

namespace tarlek::mon {
namespace {

using testing::FakeResident;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

Invocation Parsed(const std::vector<std::string>& args, const char* env_port = nullptr) {
  const ParseResult result = ParseArguments(args, env_port);
  if (const auto* exit = std::get_if<ParseExit>(&result)) {
    ADD_FAILURE() << "parse ended with " << exit->status << ": " << exit->text;
    return {};
  }
  return std::get<Invocation>(result);
}

TEST(CommandLine, PortFromTheOptionOrTheEnvironment) {
  EXPECT_EQ(Parsed({"identify"}, "/dev/ttyS9").port, "/dev/ttyS9");
  EXPECT_EQ(Parsed({"--port", "/dev/ttyUSB0", "identify"}, "/dev/ttyS9").port, "/dev/ttyUSB0");
  // Global options may follow the command too.
  const Invocation inv = Parsed({"read", "code", "8000h", "20", "-p", "fifo:a,b", "--json"});
  EXPECT_EQ(inv.port, "fifo:a,b");
  EXPECT_TRUE(inv.json);
  EXPECT_EQ(inv.command, "read");
  EXPECT_EQ(inv.operands, (std::vector<std::string>{"code", "8000h", "20"}));
  EXPECT_EQ(inv.baud, 9600u);
}

TEST(CommandLine, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"identify"},  // no port anywhere
      {"-p", "x", "--baud", "12", "identify"},
      {"-p", "x", "--baud", "4000001", "identify"},
      {"-p", "x", "read"},
      {"-p", "x", "read", "code", "0", "1", "2"},
      {"-p", "x", "read", "code", "0", "--raw", "-o", "f.hex"},
      {"-p", "x", "dump"},
      {"-p", "x", "--slack", "-1", "identify"},
  };
  for (const auto& args : bad) {
    const ParseResult result = ParseArguments(args, nullptr);
    const auto* exit = std::get_if<ParseExit>(&result);
    ASSERT_NE(exit, nullptr) << ::testing::PrintToString(args);
    EXPECT_EQ(exit->status, kExitUsage) << ::testing::PrintToString(args);
  }
  const ParseResult help = ParseArguments({"watch", "--help"}, nullptr);
  ASSERT_TRUE(std::holds_alternative<ParseExit>(help));
  EXPECT_EQ(std::get<ParseExit>(help).status, 0);
  EXPECT_NE(std::get<ParseExit>(help).text.find("--interval"), std::string::npos);
}

// Any rate a resident can be built for is taken; a value out of range is
// refused in one line that says what is allowed.
TEST(CommandLine, RatesAndSecondsOutOfRange) {
  for (const char* baud : {"31250", "28800", "14400", "50", "4000000"}) {
    EXPECT_EQ(Parsed({"-p", "fifo:a,b", "-b", baud, "identify"}).baud,
              static_cast<uint32_t>(std::stoul(baud)));
  }
  const struct {
    std::vector<std::string> args;
    const char* first_line;
  } bad[] = {
      {{"-b", "12", "identify"}, "--baud: 12 is not a baud rate from 50 to 4000000"},
      {{"watch", "--seconds", "-1", "iram", "0"},
       "--seconds: -1 is not a number of seconds (0 or more)"},
      {{"console", "--seconds", "inf"}, "--seconds: inf is not a number of seconds (0 or more)"},
      {{"--slack", "61", "identify"}, "--slack: 61 is not a number of seconds from 0 to 60"},
      {{"watch", "-i", "-0.5", "iram", "0"},
       "--interval: -0.5 is not a number of seconds from 0 to 3600"},
  };
  for (const auto& b : bad) {
    std::vector<std::string> args = {"-p", "x"};
    args.insert(args.end(), b.args.begin(), b.args.end());
    const ParseResult result = ParseArguments(args, nullptr);
    const auto* exit = std::get_if<ParseExit>(&result);
    ASSERT_NE(exit, nullptr) << b.first_line;
    EXPECT_EQ(exit->status, kExitUsage);
    EXPECT_EQ(exit->text.substr(0, exit->text.find('\n')), b.first_line);
  }
}

TEST(Plan, ResolvesAddressesCountsAndSymbols) {
  TempDir dir;
  testing::WriteFile(dir / "p.map",
                     std::string("Area  Addr  Size  Decimal Bytes (Attributes)\n"
                                 "DSEG  00000000  00000073 =  115. bytes (REL,CON)\n"
                                 "      Value  Global\n"
                                 "     00000041  _counter   demo\n"
                                 "     00000043  _B         demo\n"
                                 "XSEG  00000000  00000010 =  16. bytes (REL,CON,XDATA)\n"
                                 "      Value  Global\n"
                                 "D:   00000100  _table   demo\n"));
  auto plan_of = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-p", "x", "-m", dir / "p.map"});
    return MakePlan(Parsed(args));
  };
  EXPECT_EQ(plan_of({"read", "code", "0x8000"}).items.front(),
            (Item{Space::kCode, 0x8000, 16, ""}));
  EXPECT_EQ(plan_of({"read", "sfr", "F8h"}).items.front(), (Item{Space::kSfr, 0xF8, 8, ""}));
  // A symbol reads its own size, up to the next symbol of its area.
  EXPECT_EQ(plan_of({"read", "counter"}).items.front(), (Item{Space::kIram, 0x41, 2, "counter"}));
  EXPECT_EQ(plan_of({"read", "xram", "table", "10"}).items.front(),
            (Item{Space::kXram, 0x100, 16, "table"}));
  const Plan watch = plan_of({"watch", "counter", "table:4"});
  ASSERT_EQ(watch.items.size(), 2u);
  EXPECT_EQ(watch.items[1], (Item{Space::kXram, 0x100, 4, "table:4"}));
  // NAME COUNT and NAME:COUNT alike, in read and in watch, between other names.
  for (const auto& args : std::vector<std::vector<std::string>>{{"read", "counter", "3"},
                                                                {"read", "counter:3"},
                                                                {"watch", "counter", "3", "B"},
                                                                {"watch", "counter:3", "B"}}) {
    const Plan p = plan_of(args);
    EXPECT_EQ(p.items.front().count, 3u) << ::testing::PrintToString(args);
    EXPECT_EQ(p.items.front().address, 0x41u) << ::testing::PrintToString(args);
  }
  // Names and hexadecimal numbers: after a space, a number is an address,
  // unless a symbol of that name lies elsewhere in the same space.
  EXPECT_EQ(plan_of({"read", "xram", "B", "1"}).items.front(), (Item{Space::kXram, 0x0B, 1, ""}));
  EXPECT_EQ(plan_of({"read", "iram", "0xB", "1"}).items.front(), (Item{Space::kIram, 0x0B, 1, ""}));
  EXPECT_EQ(plan_of({"read", "B"}).items.front().address, 0x43u);
  EXPECT_EQ(plan_of({"read", "code", "AC", "4"}).items.front(), (Item{Space::kCode, 0xAC, 4, ""}));
  const Plan write = plan_of({"write", "iram", "30", "1", "0A0h", "ff"});
  EXPECT_EQ(write.data, (protocol::Bytes{0x01, 0xA0, 0xFF}));
  EXPECT_EQ(plan_of({"dump", "f.hex", "--range", "8000-80ff"}).range.last, 0x80FFu);

  const struct {
    std::vector<std::string> args;
    const char* message;
  } bad[] = {
      {{"read", "iram", "counterx"}, "neither a hexadecimal address nor a symbol"},
      {{"read", "xram", "counter"}, "counter is in iram, not in xram"},
      {{"read", "iram", "100"}, "outside iram"},
      {{"read", "sfr", "7F"}, "outside sfr"},
      {{"read", "iram", "F0", "11"}, "run past the end of iram"},
      {{"read", "code", "0", "0"}, "not a count"},
      {{"write", "code", "0", "1"}, "code memory cannot be written"},
      {{"write", "iram", "30", "100"}, "not a byte"},
      {{"write", "sfr", "98", "0"}, "SCON (98h) and SBUF (99h)"},
      {{"dump", "f.hex", "--range", "9000-8000"}, "not a range"},
      {{"read", "iram", "B", "1"},
       "iram B could be the address iram 0Bh or the variable B at iram 43h: write 0xB or Bh"},
      {{"watch", "counter", "B"}, "B could be a count (Bh bytes) or the variable B"},
      {{"read", "nothing"}, "neither a memory space nor a symbol"},
      {{"write", "counter:2", "1"}, "counter:2 names 2 bytes; 1 given"},
  };
  for (const auto& b : bad) {
    try {
      plan_of(b.args);
      ADD_FAILURE() << ::testing::PrintToString(b.args);
    } catch (const Failure& f) {
      EXPECT_EQ(f.status(), kExitUsage);
      EXPECT_NE(std::string(f.what()).find(b.message), std::string::npos) << f.what();
    }
  }
}

// A command run against the fake resident; what it printed.
struct Session {
  std::unique_ptr<Port> port;
  std::unique_ptr<FakeResident> resident;
  std::string out, err;
  // Both streams as a terminal shows them, and every write to standard error.
  std::string both;
  std::vector<std::string> err_writes;
  int exit_status = -1;

  explicit Session(int version = 3) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    port = std::make_unique<Port>(Port::FromDescriptors(fds[0], fds[0], "socketpair"));
    resident = std::make_unique<FakeResident>(fds[1], 64, 115200, version);
  }

  int Run(std::vector<std::string> args, Terminal terminal = {}) {
    args.insert(args.begin(), {"-p", "socketpair", "-b", "115200"});
    Io io;
    io.terminal = terminal;
    io.out = [this](std::string_view t) {
      out += t;
      both += t;
    };
    io.err = [this](std::string_view t) {
      err += t;
      both += t;
      err_writes.emplace_back(t);
    };
    resident->Start();
    try {
      const int status = Execute(MakePlan(Parsed(args)), *port, io);
      resident->Stop();
      return status;
    } catch (const Failure& f) {
      resident->Stop();
      err += f.what();
      return f.status();
    }
  }
};

TEST(Commands, VerifyNamesTheDifferingRanges) {
  TempDir dir;
  Session s;
  Segment file{0x8000, protocol::Bytes(100)};
  for (size_t i = 0; i < file.data.size(); ++i) file.data[i] = static_cast<uint8_t>(i + 1);
  std::copy(file.data.begin(), file.data.end(), s.resident->code.begin() + 0x8000);
  s.resident->code[0x8010] = 0xEE;
  s.resident->code[0x8011] = 0xEE;
  s.resident->code[0x8063] = 0x00;  // the last byte
  s.resident->code[0x8064] = 0x55;  // past the file: not compared
  WriteImageFile(dir / "p.hex", file);
  EXPECT_EQ(s.Run({"verify", dir / "p.hex"}), kExitDifferent);
  EXPECT_EQ(s.out,
            "differs at 8010h-8011h: file 11 12, chip EE EE\n"
            "differs at 8063h: file 64, chip 00\n"
            "3 of 100 bytes differ, in 2 ranges\n");

  Session json_run;
  std::copy(file.data.begin(), file.data.end(), json_run.resident->code.begin() + 0x8000);
  EXPECT_EQ(json_run.Run({"verify", "--json", dir / "p.hex"}), kExitOk);
  const auto j = nlohmann::json::parse(json_run.out);
  EXPECT_EQ(j["match"], true);
  EXPECT_EQ(j["bytes"], 100);
}

TEST(Commands, ReadToIntelHexAndAsADump) {
  TempDir dir;
  Session s;
  for (size_t i = 0; i < 0x20; ++i) s.resident->xram[0x1230 + i] = static_cast<uint8_t>(0x40 + i);
  EXPECT_EQ(s.Run({"read", "xram", "1230h", "20", "-o", dir / "x.hex"}), kExitOk);
  const auto segments = ReadImageFile(dir / "x.hex");
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0].address, 0x1230u);
  EXPECT_EQ(segments[0].data,
            protocol::Bytes(s.resident->xram.begin() + 0x1230, s.resident->xram.begin() + 0x1250));

  Session dump;
  dump.resident->iram[0x41] = 0x07;
  EXPECT_EQ(dump.Run({"read", "iram", "41", "1"}), kExitOk);
  EXPECT_EQ(dump.out, "40     07                                             | .|\n");
}

// A file written over keeps its mode, holds the new contents whole, and no
// temporary file is left beside it; a directory that refuses the file leaves
// the old one alone and ends in one line.
TEST(Commands, OutputFileIsReplacedWholeKeepingItsMode) {
  TempDir dir;
  const std::string target = dir / "code.bin";
  WriteFile(target, std::string("old contents, longer than the new ones"));
  ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
  Session s;
  for (size_t i = 0; i < 4; ++i) s.resident->code[0x100 + i] = static_cast<uint8_t>(0xA0 + i);
  EXPECT_EQ(s.Run({"read", "code", "100", "4", "-o", target}), kExitOk);
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile(target), (Bytes{0xA0, 0xA1, 0xA2, 0xA3}));
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 1u) << "a temporary file was left beside the output";

  Session refused;
  EXPECT_EQ(refused.Run({"read", "code", "100", "4", "-o", dir / "missing/x.bin"}), kExitFailure);
  EXPECT_NE(refused.err.find("cannot write"), std::string::npos) << refused.err;
}

// read -o and dump write by the merge tool's rules, and every check of the
// file comes before the reading: a name that cannot be written costs no read.
TEST(Commands, OutputFilesFollowTheMergeToolsRules) {
  struct Case {
    const char* name;
    // Makes what lies at the output path; returns the path to give.
    std::function<std::string(const TempDir&)> make;
    bool written;
    // What must hold afterwards (the run's own result aside); empty when all is well.
    std::function<std::string(const TempDir&, const Bytes&)> check;
  };
  const Case cases[] = {
      {"a link keeps pointing at the file it names, which is replaced",
       [](const TempDir& dir) {
         WriteFile(dir / "real.bin", std::string("old"));
         std::filesystem::create_symlink("real.bin", dir / "link.bin");
         return dir / "link.bin";
       },
       true,
       [](const TempDir& dir, const Bytes& want) -> std::string {
         if (!std::filesystem::is_symlink(dir / "link.bin")) return "the link was replaced";
         if (ReadFile(dir / "real.bin") != want) return "the linked file holds something else";
         return {};
       }},
      {"a directory is refused before the reading",
       [](const TempDir& dir) {
         std::filesystem::create_directory(dir / "d.bin");
         return dir / "d.bin";
       },
       false, nullptr},
      {"a missing directory is refused before the reading",
       [](const TempDir& dir) { return dir / "missing/x.bin"; }, false, nullptr},
  };
  for (const char* command : {"read", "dump"}) {
    for (const Case& c : cases) {
      TempDir dir;
      const std::string path = c.make(dir);
      Session s;
      for (size_t i = 0; i < 4; ++i) s.resident->code[0x100 + i] = static_cast<uint8_t>(0xB0 + i);
      size_t reads = 0;
      s.resident->OnAnswered([&](uint8_t code) { reads += code == protocol::kReadCode; });
      const std::vector<std::string> args =
          std::string(command) == "read"
              ? std::vector<std::string>{"read", "code", "100", "4", "-o", path}
              : std::vector<std::string>{"dump", path, "--range", "100-103"};
      const int status = s.Run(args);
      const std::string what = std::string(command) + ": " + c.name;
      if (c.written) {
        EXPECT_EQ(status, kExitOk) << what << ": " << s.err;
        EXPECT_EQ(c.check(dir, Bytes{0xB0, 0xB1, 0xB2, 0xB3}), "") << what;
      } else {
        EXPECT_EQ(status, kExitFailure) << what;
        EXPECT_EQ(s.err.rfind("cannot write " + path, 0), 0u) << what << ": " << s.err;
        EXPECT_EQ(reads, 0u) << what << ": the resident was read before the file was checked";
      }
    }
  }
}

// A FIFO is written in place, as tarlek writes one: it stays a FIFO and its
// reader gets the bytes.
TEST(Commands, OutputToAFifoIsWrittenInPlace) {
  TempDir dir;
  const std::string fifo = dir / "out.bin";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  std::string got;
  std::thread drain([&] {
    // Until the writer has been and gone, or 20 s pass (the file was not written to).
    char buffer[256];
    for (;;) {
      pollfd p{reader, POLLIN, 0};
      if (::poll(&p, 1, 20000) <= 0) return;
      const ssize_t n = ::read(reader, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<size_t>(n));
      if (n == 0 && (p.revents & POLLHUP)) return;
    }
  });
  Session s;
  for (size_t i = 0; i < 4; ++i) s.resident->code[0x100 + i] = static_cast<uint8_t>(0xC0 + i);
  EXPECT_EQ(s.Run({"read", "code", "100", "4", "-o", fifo}), kExitOk) << s.err;
  drain.join();
  ::close(reader);
  EXPECT_EQ(got, "\xC0\xC1\xC2\xC3");
  struct stat st {};
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO was replaced by a file";
}

// A file the user may not write is refused, though the user's directory
// would let a rename replace it.
TEST(Commands, OutputFileTheUserMayNotWriteIsRefused) {
  TempDir dir;
  const std::optional<testing::User> nobody = testing::Nobody();
  if (!nobody) GTEST_SKIP() << "needs root and the user nobody";
  const std::string own = dir / "own";
  ASSERT_EQ(::mkdir(own.c_str(), 0755), 0);
  const std::string target = own + "/code.bin";
  WriteFile(target, std::string("keep"));
  ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
  ASSERT_EQ(::chown(own.c_str(), nobody->uid, nobody->gid), 0);
  ASSERT_EQ(::chown(target.c_str(), nobody->uid, nobody->gid), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const testing::NobodyRun run = testing::RunAsNobody([&] {
    Session s;
    const int status = s.Run({"read", "code", "0", "4", "-o", target});
    return std::to_string(status) + " " + s.err;
  });
  ASSERT_TRUE(run.switched) << "could not become nobody";
  EXPECT_EQ(run.report.rfind("1 cannot write " + target, 0), 0u) << run.report;
  EXPECT_EQ(testing::ReadText(target), "keep");
}

// --json output stays JSON whatever bytes a file name holds.
TEST(Commands, JsonWithAFileNameThatIsNotUtf8) {
  TempDir dir;
  const std::string name = "code\xFF\xFE.bin";
  const std::string path = dir / name;
  Session s;
  s.resident->code[0] = 0x02;
  EXPECT_EQ(s.Run({"dump", "--json", path, "--range", "0-0"}), kExitOk) << s.err;
  EXPECT_EQ(ReadFile(path), Bytes{0x02});
  nlohmann::json j;
  ASSERT_NO_THROW(j = nlohmann::json::parse(s.out)) << s.out;
  const auto bytes = j["file_bytes"].get<std::vector<uint8_t>>();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), path);
  EXPECT_NE(j["file"].get<std::string>().find("code"), std::string::npos);
}

TEST(Commands, WriteReadsBackAndProgramOutputGoesToStandardError) {
  Session s;
  // Output from before the run waits on the line: it is dropped.
  s.resident->SendOutput({'o', 'l', 'd', '\n'});
  s.resident->SetChatter({'h', 'i', '\n'}, {});
  EXPECT_EQ(s.Run({"write", "iram", "30", "12", "34"}), kExitOk);
  EXPECT_EQ(s.resident->iram[0x30], 0x12);
  EXPECT_EQ(s.resident->iram[0x31], 0x34);
  EXPECT_EQ(s.out, "wrote 12 34 at iram 30h, read back the same\n");
  // identify, the write (one data byte per request at 115200 baud), read
  // back: four answers, each after the program's text.
  EXPECT_EQ(s.err, "hi\nhi\nhi\nhi\n");

  Session quiet;
  quiet.resident->SetChatter({'h', 'i', '\n'}, {});
  EXPECT_EQ(quiet.Run({"--quiet", "write", "xram", "0", "1"}), kExitOk);
  EXPECT_EQ(quiet.err, "");
}

TEST(Commands, WatchPrintsAJsonLinePerSample) {
  Session s;
  s.resident->iram[0x41] = 1;
  // The program's counter moves after every read of it.
  s.resident->OnAnswered([&](uint8_t command) {
    if (command == protocol::kReadIram) ++s.resident->iram[0x41];
  });
  EXPECT_EQ(s.Run({"watch", "--json", "--interval", "0.05", "--seconds", "0.5", "iram", "40", "2"}),
            kExitOk);
  std::vector<nlohmann::json> lines;
  size_t at = 0;
  while (at < s.out.size()) {
    const size_t end = s.out.find('\n', at);
    lines.push_back(nlohmann::json::parse(s.out.substr(at, end - at)));
    at = end + 1;
  }
  ASSERT_GE(lines.size(), 3u);
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i]["values"]["iram 40h"], nlohmann::json::array({0, 1 + i}));
    EXPECT_TRUE(lines[i]["time"].is_number());
  }
  // The closing line on standard error: a sample's bytes on the line, its
  // request C0 05 SEQ 02 40 02 SUM and answer C0 85 SEQ 02 D0 D1 SUM (a SEQ
  // or SUM of C0h or DBh escaped in two), the identify before the samples not
  // counted.
  EXPECT_NE(s.err.find(std::to_string(lines.size()) + " samples in"), std::string::npos) << s.err;
  std::smatch bytes;
  ASSERT_TRUE(std::regex_search(s.err, bytes, std::regex("1 request and ([0-9.]+) line bytes")))
      << s.err;
  EXPECT_GE(std::stod(bytes[1]), 14.0) << s.err;
  EXPECT_LT(std::stod(bytes[1]), 15.0) << s.err;
  EXPECT_EQ(s.err.find("sent again"), std::string::npos) << s.err;

  // A sample whose request went unanswered once: the closing line says so.
  Session lossy;
  lossy.resident->Script({testing::Fault::kNone, testing::Fault::kNone, testing::Fault::kSilent});
  EXPECT_EQ(lossy.Run({"--slack", "0.05", "watch", "--json", "--interval", "0.05", "--seconds",
                       "0.5", "iram", "40", "2"}),
            kExitOk);
  EXPECT_NE(lossy.err.find(" line bytes a sample; 1 request sent again\n"), std::string::npos)
      << lossy.err;
}

TEST(Commands, WatchOnATerminalRedrawsAndMarksChanges) {
  const std::vector<std::string> args = {"watch", "--interval", "0.05", "--seconds", "0.3",
                                         "iram",  "40",         "iram", "41"};
  struct Case {
    const char* name;
    Terminal terminal;
    std::string fixed, moving;  // how each row looks after the first refresh
  };
  const Case cases[] = {
      {"colour terminal", Terminal{true, true, false}, "iram 40h  77\x1b[K", "iram 41h  \x1b[7m"},
      {"terminal without colour", Terminal{false, true, false}, "iram 40h  77\x1b[K", " *\x1b[K"},
  };
  for (const auto& c : cases) {
    Session s;
    s.resident->iram[0x40] = 0x77;
    s.resident->OnAnswered([&](uint8_t command) {
      if (command == protocol::kReadIram) ++s.resident->iram[0x41];
    });
    EXPECT_EQ(s.Run(args, c.terminal), kExitOk) << c.name;
    // A refresh is a header with the rate and a row per variable; every one
    // after the first goes back up over the last.
    const auto lines = std::count(s.out.begin(), s.out.end(), '\n');
    ASSERT_EQ(lines % 3, 0) << c.name;
    ASSERT_GE(lines / 3, 3) << c.name;
    size_t ups = 0;
    for (size_t at = 0; (at = s.out.find("\x1b[3A", at)) != std::string::npos; ++at) ++ups;
    EXPECT_EQ(ups, static_cast<size_t>(lines / 3 - 1)) << c.name;
    EXPECT_NE(s.out.find("samples/s"), std::string::npos) << c.name;
    // The fixed byte is never marked; the counter is, from the second refresh on.
    const std::string later = s.out.substr(s.out.find("\x1b[3A"));
    EXPECT_NE(later.find(c.fixed), std::string::npos) << c.name << ": " << later;
    EXPECT_NE(later.find(c.moving), std::string::npos) << c.name << ": " << later;
    EXPECT_EQ(s.out.substr(0, s.out.find("\x1b[3A")).find(c.moving), std::string::npos);
  }

  // Piped: a line with a timestamp for each change only.
  Session piped;
  piped.resident->iram[0x40] = 0x77;
  EXPECT_EQ(piped.Run(args), kExitOk);
  EXPECT_TRUE(std::regex_match(
      piped.out,
      std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} iram 40h = 77\n\\d\\d:\\d\\d:\\d\\d\\.\\d{3} "
                 "iram 41h = 00\n")))
      << piped.out;
}

// The program's text around the answers comes out in whole lines, each in one
// write, however the line split it; a line it had begun is shown at the end,
// marked as cut.
TEST(Commands, ProgramOutputComesInWholeLines) {
  Session s;
  s.resident->SetChatter({'T', 'a', 'r'}, {'l', 'e', 'k', '\r', '\n', 'w', 'r'});
  EXPECT_EQ(s.Run({"read", "iram", "40", "1"}), kExitOk);
  // identify and read: two answers.
  EXPECT_EQ(s.err, "Tarlek\r\nwrTarlek\r\nwr [cut]\n");
  for (const std::string& write : s.err_writes) {
    EXPECT_EQ(write.back(), '\n') << "a write that ends inside a line: " << write;
  }
  EXPECT_EQ(s.out, "40  00                                                |.|\n");

  // A failure's message comes after the cut line, on a line of its own.
  Session failing;
  failing.resident->SetChatter({'a', 'b'}, {});
  failing.resident->Script({testing::Fault::kNone, testing::Fault::kSilent});
  EXPECT_EQ(failing.Run({"--retries", "0", "read", "iram", "40", "1"}), kExitFailure);
  EXPECT_EQ(failing.err.rfind("ab [cut]\nno answer", 0), 0u) << failing.err;
}

// plot takes what watch takes (a raw place as well, without a map); a line
// the program had begun is given out before plot's closing line.
TEST(Commands, PlotEndsWithTheProgramsCutLineBeforeItsClosingLine) {
  Session s;
  s.resident->SetChatter({'a', 'b'}, {});
  EXPECT_EQ(s.Run({"plot", "--interval", "0.05", "--seconds", "0.3", "iram", "40", "2"}), kExitOk)
      << s.err;
  EXPECT_TRUE(std::regex_match(
      s.out, std::regex("plot: open http://127\\.0\\.0\\.1:\\d+/ \\(Ctrl-C ends\\)\n")))
      << s.out;
  EXPECT_TRUE(
      std::regex_match(s.err, std::regex("(ab)+ \\[cut\\]\nplot: ended after \\d+ samples\n")))
      << s.err;
}

// On a terminal the program's control bytes are shown, not obeyed, and
// watch's table stays whole below the program's lines; piped, the bytes are
// passed on as they came.
TEST(Commands, ProgramOutputOnATerminalKeepsWatchsTable) {
  const std::vector<std::string> args = {"watch", "--interval", "0.05", "--seconds",
                                         "0.3",   "iram",       "40",   "1"};
  Session s;
  s.resident->SetChatter({}, {'\x1b', '[', '2', 'J', '!', '\n'});
  Terminal terminal{false, true, false};
  terminal.visible_output = true;
  EXPECT_EQ(s.Run(args, terminal), kExitOk);
  EXPECT_EQ(s.err.find('\x1b'), std::string::npos) << s.err;
  EXPECT_NE(s.err.find("^[[2J!\n"), std::string::npos) << s.err;
  // After the table is first drawn, each program line takes it away (up over
  // its header and row, erase to the end) and draws it again below itself.
  const size_t table = s.both.find("iram 40h  ");
  ASSERT_NE(table, std::string::npos);
  const std::regex around(
      "\x1b\\[2A\r\x1b\\[J\\^\\[\\[2J!\n"
      "\r\\d\\d:\\d\\d:\\d\\d\\.\\d{3}  [0-9.]+ samples/s\x1b\\[K\n\riram 40h  00");
  EXPECT_TRUE(std::regex_search(s.both.substr(table), around)) << s.both;

  Session raw;
  raw.resident->SetChatter({}, {'\x1b', '[', '2', 'J', '!', '\n'});
  EXPECT_EQ(raw.Run({"--retries", "0", "identify"}), kExitOk);
  EXPECT_EQ(raw.err, "\x1b[2J!\n");
  const ParseResult parsed = ParseArguments({"-p", "x", "--raw-output", "identify"}, nullptr);
  ASSERT_TRUE(std::holds_alternative<Invocation>(parsed));
  EXPECT_TRUE(std::get<Invocation>(parsed).raw_output);
}

// write --no-check: a value the program changes at once is written, not
// read back, and the exit status says the resident took it; by address and
// by a typed name alike.
TEST(Commands, WriteWithoutCheckDoesNotReadBack) {
  TempDir dir;
  testing::WriteFile(dir / "p.cdb",
                     "M:p\nS:G$counter$0_0$0({2}SI:S),E,0,0\nL:G$counter$0_0$0:30\n");
  const struct {
    std::vector<std::string> args;
    const char* unchecked_out;
    uint8_t low_byte;  // iram 30h once the program has changed it
    size_t writes;     // requests: one data byte each at the session's 115200 baud
  } cases[] = {
      {{"write", "iram", "30", "12"}, "wrote 12 at iram 30h (not read back)\n", 0x13, 1},
      {{"-m", dir / "p.cdb", "write", "counter", "300"},
       "wrote counter = 300 (not read back)\n",
       0x2E,
       2},
  };
  for (const auto& c : cases) {
    for (const bool check : {true, false}) {
      Session s;
      s.resident->OnAnswered([&](uint8_t command) {
        if (command == protocol::kWriteIram) ++s.resident->iram[0x30];
      });
      std::vector<std::string> args = c.args;
      if (!check) args.emplace_back("--no-check");
      const int status = s.Run(args);
      if (check) {
        EXPECT_EQ(status, kExitFailure) << c.unchecked_out;
        EXPECT_NE(s.err.find("does not hold what was written"), std::string::npos) << s.err;
      } else {
        EXPECT_EQ(status, kExitOk) << s.err;
        EXPECT_EQ(s.out, c.unchecked_out);
        // identify and the write only.
        EXPECT_EQ(s.resident->requests(), 1 + c.writes) << c.unchecked_out;
      }
      EXPECT_EQ(s.resident->iram[0x30], c.low_byte) << c.unchecked_out;
    }
  }
}

// Variables by name and type, from a .cdb: read, write (a bit by
// read-modify-write of its byte) and watch with a CSV log.
TEST(Commands, TypedReadWriteAndWatchByName) {
  TempDir dir;
  testing::WriteFile(dir / "p.cdb", std::string("M:p\n"
                                                "T:Fp$s[({0}S:S$temp$0_0$0({2}SI:S),Z,0,0)"
                                                "({2}S:S$scale$0_0$0({4}SF:S),Z,0,0)]\n"
                                                "S:G$counter$0_0$0({2}SI:S),E,0,0\n"
                                                "S:G$sensor$0_0$0({6}STs:S),F,0,0\n"
                                                "S:G$ready$0_0$0({1}SB0$1:U),H,0,0\n"
                                                "L:G$counter$0_0$0:30\n"
                                                "L:G$sensor$0_0$0:200\n"
                                                "L:G$ready$0_0$0:A\n"));
  const std::vector<std::string> map = {"-m", dir / "p.cdb"};
  // One session a run, on the same memory.
  auto run = [&](std::vector<std::string> args,
                 const std::function<void(FakeResident&)>& setup = {}) {
    auto s = std::make_unique<Session>();
    auto& r = *s->resident;
    r.iram[0x30] = 0xFE;  // counter -2
    r.iram[0x31] = 0xFF;
    r.iram[0x21] = 0xF0;  // ready 0, its neighbours 1
    r.xram[0x200] = 21;
    r.xram[0x204] = 0xC0;  // scale 1.5
    r.xram[0x205] = 0x3F;
    if (setup) setup(r);
    args.insert(args.begin(), map.begin(), map.end());
    s->exit_status = s->Run(args);
    return s;
  };
  EXPECT_EQ(run({"read", "counter"})->out, "counter = -2\n");
  EXPECT_EQ(run({"read", "--hex", "counter"})->out, "counter = FFFEh\n");
  EXPECT_EQ(run({"read", "sensor"})->out, "sensor = {temp: 21, scale: 1.5}\n");
  EXPECT_EQ(nlohmann::json::parse(run({"read", "--json", "sensor.scale"})->out)["value"], 1.5);

  // Writes: the value in the type's bytes; a bit changes only its own bit.
  const struct {
    std::vector<std::string> args;
    const char* out;
    Space space;
    uint32_t address;
    protocol::Bytes bytes;
  } writes[] = {
      {{"write", "counter", "-300"},
       "wrote counter = -300, read back the same\n",
       Space::kIram,
       0x30,
       {0xD4, 0xFE}},
      {{"write", "ready", "1"},
       "wrote ready = 1, read back the same\n",
       Space::kIram,
       0x21,
       {0xF4}},
      {{"write", "sensor.scale", "-0.25"},
       "wrote sensor.scale = -0.25, read back the same\n",
       Space::kXram,
       0x204,
       {0x80, 0xBE}},
  };
  for (const auto& w : writes) {
    const auto s = run(w.args);
    EXPECT_EQ(s->exit_status, kExitOk) << s->err;
    EXPECT_EQ(s->out, w.out);
    const auto& memory = w.space == Space::kIram ? s->resident->iram : s->resident->xram;
    EXPECT_EQ(protocol::Bytes(memory.begin() + w.address,
                              memory.begin() + w.address + static_cast<long>(w.bytes.size())),
              w.bytes)
        << w.out;
  }
  const auto refused = run({"write", "counter", "40000"});
  EXPECT_EQ(refused->exit_status, kExitUsage);
  EXPECT_NE(refused->err.find("(-32768 to 32767)"), std::string::npos) << refused->err;

  // Watch: a CSV line per sample, flushed as it goes.
  const auto watched = run({"watch", "--json", "--interval", "0.05", "--seconds", "0.4", "--csv",
                            dir / "log.csv", "counter", "sensor", "ready"},
                           [&](FakeResident& r) {
                             r.OnAnswered([&r](uint8_t command) {
                               if (command == protocol::kReadIram) ++r.iram[0x30];
                             });
                           });
  EXPECT_EQ(watched->exit_status, kExitOk) << watched->err;
  const std::string csv = testing::ReadText(dir / "log.csv");
  std::vector<std::string> rows;
  for (size_t at = 0; at < csv.size();) {
    const size_t end = csv.find('\n', at);
    rows.push_back(csv.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_GE(rows.size(), 3u);
  EXPECT_EQ(rows[0], "time,counter,sensor,ready");
  const std::string& out = watched->out;
  EXPECT_EQ(static_cast<size_t>(std::count(out.begin(), out.end(), '\n')), rows.size() - 1);
  // The program's counter moves under the watch; the rest stays.
  const std::regex row(R"((\d+\.\d{3}),(-?\d+),"\{temp: 21, scale: 1.5\}",0)");
  std::smatch first_row, second_row;
  ASSERT_TRUE(std::regex_match(rows[1], first_row, row)) << rows[1];
  ASSERT_TRUE(std::regex_match(rows[2], second_row, row)) << rows[2];
  EXPECT_NE(first_row[2], second_row[2]);
  EXPECT_LT(std::stod(first_row[1]), std::stod(second_row[1]));
  EXPECT_EQ(nlohmann::json::parse(out.substr(0, out.find('\n')))["values"]["sensor"]["temp"], 21);
}

TEST(Commands, NoAnswerIsExitOneWithTheHint) {
  Session s;
  s.resident->AlwaysFault(testing::Fault::kSilent);
  EXPECT_EQ(s.Run({"--retries", "0", "identify"}), kExitFailure);
  EXPECT_NE(s.err.find("no answer from the resident on socketpair at 115200 baud, 1 attempt of "),
            std::string::npos)
      << s.err;
  EXPECT_NE(s.err.find("is the program running, and was it merged with the resident?"),
            std::string::npos);

  // --slack is the room an answer gets beyond its line time: each attempt's
  // time-out, as the message states it.
  Session patient;
  patient.resident->AlwaysFault(testing::Fault::kSilent);
  EXPECT_EQ(patient.Run({"--retries", "1", "--slack", "1", "identify"}), kExitFailure);
  EXPECT_NE(patient.err.find("at 115200 baud, 2 attempts of 1.0 s:"), std::string::npos)
      << patient.err;
}

// Residents of both protocol versions are spoken to; what tarlek-mon cannot
// work with ends the run with status 1 and a line that says why.
TEST(Commands, WhatTheResidentSpeaksOffersAndDoes) {
  struct Case {
    const char* name;
    int version;
    std::function<void(FakeResident&)> setup;
    std::vector<std::string> args;
    int status;
    std::string out;  // the start of standard output
    std::string err;  // a part of standard error
  };
  const Case cases[] = {
      {"protocol 3",
       3,
       [](FakeResident&) {},
       {"identify"},
       kExitOk,
       "resident   Tarlek 1.0.0 (protocol 3) at 8000h, page 80h\n",
       ""},
      {"protocol 2",
       2,
       [](FakeResident&) {},
       {"identify"},
       kExitOk,
       "resident   Tarlek 1.0.0 (protocol 2) at 8000h, page 80h\n",
       ""},
      {"another protocol",
       3,
       [](FakeResident& r) { r.info.protocol = 4; },
       {"identify"},
       kExitFailure,
       "",
       "the resident on socketpair speaks protocol 4; tarlek-mon speaks 2 and 3"},
      {"a command not offered",
       2,
       [](FakeResident& r) { r.info.commands = 0x01FE & ~(1 << protocol::kReadXram); },
       {"read", "xram", "0"},
       kExitFailure,
       "",
       "the resident does not offer read xram"},
      {"a write not offered",
       3,
       [](FakeResident& r) { r.info.commands = 0x01FE & ~(1 << protocol::kWriteIram); },
       {"write", "iram", "30", "1"},
       kExitFailure,
       "",
       "the resident does not offer write iram"},
      {"writes ignored",
       3,
       [](FakeResident& r) { r.IgnoreWrites(true); },
       {"write", "xram", "100", "1", "2"},
       kExitFailure,
       "wrote 01 02 at xram 0100h, read back 00 00\n",
       "xram 0100h does not hold what was written: 01 02 read back as 00 00"},
      {"writes ignored, protocol 2",
       2,
       [](FakeResident& r) { r.IgnoreWrites(true); },
       {"write", "iram", "30", "5"},
       kExitFailure,
       "wrote 05 at iram 30h, read back 00\n",
       "iram 30h does not hold what was written: 05 read back as 00"},
  };
  for (const auto& c : cases) {
    Session s(c.version);
    c.setup(*s.resident);
    EXPECT_EQ(s.Run(c.args), c.status) << c.name << ": " << s.err;
    EXPECT_EQ(s.out.substr(0, c.out.size()), c.out) << c.name;
    EXPECT_NE(s.err.find(c.err), std::string::npos) << c.name << ": " << s.err;
  }
}

// A write the resident kept from happening, in part or whole, is told as
// such: the SFR bits it kept for its link, SP, and its own stack in iram
// above the program's SP (07h here: 16 bytes in protocol 2, 11 in 3).
TEST(Commands, WritesSayWhatTheResidentKept) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;  // all of standard error; of a failure, a part
  };
  for (int version : {3, 2}) {
    const bool v3 = version == 3;
    const std::string stack = v3 ? "iram 08h-12h is the resident's own stack while it answers "
                                   "(the 11 bytes above the program's SP, 07h): it skipped the "
                                   "write there"
                                 : "iram 08h-17h is the resident's own stack while it answers "
                                   "(the 16 bytes above the program's SP, 07h): it skipped the "
                                   "write there";
    const std::string last = v3 ? "12" : "17";  // the stack's last byte
    const std::string above = v3 ? "13" : "18";
    const Case cases[] = {
        // IE is EA, ES and ET0 (92h): protocol 3 keeps EA and ES and names
        // them; protocol 2 keeps ES set.
        {"IE's link bits cleared",
         {"write", "sfr", "A8", "02"},
         kExitOk,
         v3 ? "wrote 02 at sfr A8h, read back 92\n" : "wrote 02 at sfr A8h, read back 12\n",
         v3 ? "note: the resident kept EA, ES of IE (A8h) as they were, to keep its link alive\n"
            : "note: the resident kept ES of IE (A8h) as they were, to keep its link alive\n"},
        {"IE's link bits as they were",
         {"write", "sfr", "A8", "93"},
         kExitOk,
         "wrote 93 at sfr A8h, read back the same\n",
         ""},
        {"SP",
         {"write", "sfr", "81", "40"},
         kExitOk,
         "wrote 40 at sfr 81h, read back 07\n",
         "note: the resident skipped the write to SP (81h), to keep its link alive\n"},
        {"in the resident's stack",
         {"write", "iram", "10", "1", "2"},
         kExitFailure,
         "wrote 01 02 at iram 10h, read back 00 00\n",
         stack},
        {"across the stack's last byte",
         {"write", "iram", last, "1", "2"},
         kExitFailure,
         "wrote 01 02 at iram " + last + "h, read back 00 02\n",
         stack},
        {"just above the stack",
         {"write", "iram", above, "3"},
         kExitOk,
         "wrote 03 at iram " + above + "h, read back the same\n",
         ""},
    };
    for (const auto& c : cases) {
      const std::string name = std::string(c.name) + ", protocol " + std::to_string(version);
      Session s(version);
      s.resident->sfr[0xA8] = 0x92;
      EXPECT_EQ(s.Run(c.args), c.status) << name;
      EXPECT_EQ(s.out, c.out) << name;
      if (c.status == kExitOk) {
        EXPECT_EQ(s.err, c.err) << name;
      } else {
        EXPECT_NE(s.err.find(c.err), std::string::npos) << name << ": " << s.err;
      }
    }
  }
}

}  // namespace
}  // namespace tarlek::mon
