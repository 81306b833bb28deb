// write against the fake resident: read back, or not with --no-check, with
// the program's output on standard error.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/failure.h"
#include "mon/commands/run.h"
#include "mon/support/session.h"
#include "protocol/frame.h"
#include "support/test_support.h"

namespace tarlek::mon {
namespace {

using testing::Session;
using testing::TempDir;

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

// An __sfr16 (timer 0's TL0 8Ah and TH0 8Ch) is written high byte first, as
// the 8051's own code loads a running timer, and read back whole.
TEST(Commands, AnSfrPairIsWrittenHighByteFirst) {
  TempDir dir;
  testing::WriteFile(dir / "p.cdb", "M:p\nS:G$T0W$0_0$0({2}SI:U),I,0,0\nL:G$T0W$0_0$0:8C8A\n");
  Session s;
  // TL0 and TH0 as each SFR write leaves them.
  std::vector<std::pair<uint8_t, uint8_t>> after_each;
  s.resident->OnAnswered([&](uint8_t command) {
    if (command == protocol::kWriteSfr)
      after_each.emplace_back(s.resident->sfr[0x8A], s.resident->sfr[0x8C]);
  });
  EXPECT_EQ(s.Run({"-m", dir / "p.cdb", "write", "T0W", "0x1234"}), kExitOk) << s.err;
  EXPECT_EQ(s.out, "wrote T0W = 4660, read back the same\n");
  EXPECT_EQ(after_each, (std::vector<std::pair<uint8_t, uint8_t>>{{0x00, 0x12}, {0x34, 0x12}}));
}

}  // namespace
}  // namespace tarlek::mon
