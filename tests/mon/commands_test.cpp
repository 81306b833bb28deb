// The command line turned into a plan, and the commands run against the fake
// resident on a socket pair: what a user sees and the exit status.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "mon/cli.h"
#include "mon/failure.h"
#include "mon/fake_resident.h"
#include "mon/image_file.h"
#include "mon/run.h"
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
      {"-p", "x", "--baud", "12345", "identify"},
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

TEST(Plan, ResolvesAddressesCountsAndSymbols) {
  TempDir dir;
  testing::WriteFile(dir / "p.map",
                     std::string("Area  Addr  Size  Decimal Bytes (Attributes)\n"
                                 "DSEG  00000000  00000073 =  115. bytes (REL,CON)\n"
                                 "      Value  Global\n"
                                 "     00000041  _counter   demo\n"
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
  EXPECT_EQ(plan_of({"read", "counter"}).items.front(), (Item{Space::kIram, 0x41, 1, "counter"}));
  EXPECT_EQ(plan_of({"read", "xram", "table", "10"}).items.front(),
            (Item{Space::kXram, 0x100, 16, ""}));
  const Plan watch = plan_of({"watch", "counter", "table:4"});
  ASSERT_EQ(watch.items.size(), 2u);
  EXPECT_EQ(watch.items[1], (Item{Space::kXram, 0x100, 4, "table"}));
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

  Session() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    port = std::make_unique<Port>(Port::FromDescriptors(fds[0], fds[0], "socketpair"));
    resident = std::make_unique<FakeResident>(fds[1], 64, 115200);
  }

  int Run(std::vector<std::string> args, Terminal terminal = {}) {
    args.insert(args.begin(), {"-p", "socketpair", "-b", "115200"});
    Io io;
    io.terminal = terminal;
    io.out = [this](std::string_view t) { out += t; };
    io.err = [this](std::string_view t) { err += t; };
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

TEST(Commands, WriteReadsBackAndProgramOutputGoesToStandardError) {
  Session s;
  // Output from before the run waits on the line: it is dropped.
  s.resident->SendOutput({'o', 'l', 'd', '\n'});
  s.resident->SetChatter({'h', 'i', '\n'}, {});
  EXPECT_EQ(s.Run({"write", "iram", "30", "12", "34"}), kExitOk);
  EXPECT_EQ(s.resident->iram[0x30], 0x12);
  EXPECT_EQ(s.resident->iram[0x31], 0x34);
  EXPECT_EQ(s.out, "wrote 12 34 at iram 30h, read back the same\n");
  // identify, write, read back: three answers, each after the program's text.
  EXPECT_EQ(s.err, "hi\nhi\nhi\n");

  Session quiet;
  quiet.resident->SetChatter({'h', 'i', '\n'}, {});
  EXPECT_EQ(quiet.Run({"--quiet", "write", "xram", "0", "1"}), kExitOk);
  EXPECT_EQ(quiet.err, "");
}

TEST(Commands, WatchPrintsOneLinePerChange) {
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
    EXPECT_EQ(lines[i]["space"], "iram");
    EXPECT_EQ(lines[i]["address"], 0x40);
    EXPECT_EQ(lines[i]["bytes"][1], 1 + i);
  }
}

TEST(Commands, WatchOnATerminalRedrawsAndMarksChanges) {
  const std::vector<std::string> args = {"watch", "--interval", "0.05", "--seconds",
                                         "0.3",   "iram",       "40",   "2"};
  struct Case {
    const char* name;
    Terminal terminal;
    const char* changed_mark;  // how the moving byte is shown after the first refresh
  };
  const Case cases[] = {
      {"colour terminal", Terminal{true, true, false}, " \x1b[7m"},
      {"terminal without colour", Terminal{false, true, false}, "*"},
  };
  for (const auto& c : cases) {
    Session s;
    s.resident->iram[0x40] = 0x77;
    s.resident->OnAnswered([&](uint8_t command) {
      if (command == protocol::kReadIram) ++s.resident->iram[0x41];
    });
    EXPECT_EQ(s.Run(args, c.terminal), kExitOk) << c.name;
    // Every refresh after the first goes back up one line and rewrites it.
    const auto refreshes = std::count(s.out.begin(), s.out.end(), '\n');
    ASSERT_GE(refreshes, 3) << c.name;
    size_t ups = 0;
    for (size_t at = 0; (at = s.out.find("\x1b[1A", at)) != std::string::npos; ++at) ++ups;
    EXPECT_EQ(ups, refreshes - 1) << c.name;
    // The fixed byte is never marked; the counter is, from the second refresh on.
    EXPECT_EQ(s.out.find(std::string(c.changed_mark) + "77"), std::string::npos) << c.name;
    const std::string second = s.out.substr(s.out.find('\n') + 1);
    EXPECT_NE(second.find(" 77" + std::string(c.changed_mark)), std::string::npos)
        << c.name << ": " << second;
  }

  // Piped: a line with a timestamp for each change only.
  Session piped;
  piped.resident->iram[0x40] = 0x77;
  EXPECT_EQ(piped.Run(args), kExitOk);
  EXPECT_TRUE(
      std::regex_match(piped.out, std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} iram 40h: 77 00\n")))
      << piped.out;
}

TEST(Commands, NoAnswerIsExitOneWithTheHint) {
  Session s;
  s.resident->AlwaysFault(testing::Fault::kSilent);
  EXPECT_EQ(s.Run({"--retries", "0", "identify"}), kExitFailure);
  EXPECT_NE(s.err.find("no answer from the resident on socketpair at 115200 baud within"),
            std::string::npos)
      << s.err;
  EXPECT_NE(s.err.find("is the program running, and was it merged with the resident?"),
            std::string::npos);

  // --slack is the room an answer gets beyond its line time.
  Session patient;
  patient.resident->AlwaysFault(testing::Fault::kSilent);
  EXPECT_EQ(patient.Run({"--retries", "0", "--slack", "1", "identify"}), kExitFailure);
  EXPECT_NE(patient.err.find("at 115200 baud within 1.0 s"), std::string::npos) << patient.err;
}

}  // namespace
}  // namespace tarlek::mon
