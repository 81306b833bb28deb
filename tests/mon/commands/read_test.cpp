// read against the fake resident: a dump and Intel HEX, and the output file
// written by the merge tool's rules (replaced whole, its mode and links
// kept, a FIFO written in place, every check before the reading).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/failure.h"
#include "base/image_file.h"
#include "mon/commands/run.h"
#include "mon/support/session.h"
#include "support/test_support.h"

namespace tarlek::mon {
namespace {

using testing::ReadFile;
using testing::Session;
using testing::TempDir;
using testing::WriteFile;

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

// read and write as bytes with --json: the place, the bytes and the symbol the
// operands named, none for an address, whatever the symbol's name begins
// with.
TEST(Commands, BytesAsJsonNameTheirSymbol) {
  TempDir dir;
  WriteFile(dir / "p.map", std::string("Area  Addr  Size  Decimal Bytes (Attributes)\n"
                                       "DSEG  00000000  00000060 =  96. bytes (REL,CON)\n"
                                       "      Value  Global\n"
                                       "     00000041  _counter   demo\n"
                                       "     00000043  _iram_copy demo\n"
                                       "     00000045  _end       demo\n"));
  const struct {
    std::vector<std::string> args;
    const char* out;
  } cases[] = {
      {{"read", "iram", "41", "2"}, R"({"address":65,"bytes":[7,8],"space":"iram"})"},
      {{"read", "counter"}, R"({"address":65,"bytes":[7,8],"space":"iram","symbol":"counter"})"},
      {{"read", "iram_copy"},
       R"({"address":67,"bytes":[9,10],"space":"iram","symbol":"iram_copy"})"},
      {{"write", "iram_copy:1", "5"},
       R"({"address":67,"bytes":[5],"confirmed":true,"read_back":[5],"space":"iram",)"
       R"("symbol":"iram_copy:1"})"},
      {{"write", "--no-check", "iram", "41", "5"},
       R"({"address":65,"bytes":[5],"checked":false,"space":"iram"})"},
  };
  for (const auto& c : cases) {
    Session s;
    for (uint8_t i = 0; i < 4; ++i) s.resident->iram[0x41 + i] = static_cast<uint8_t>(7 + i);
    std::vector<std::string> args = {"--json", "-m", dir / "p.map"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(s.Run(args), kExitOk) << s.err;
    EXPECT_EQ(s.out, std::string(c.out) + "\n") << ::testing::PrintToString(c.args);
  }
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

}  // namespace
}  // namespace tarlek::mon
