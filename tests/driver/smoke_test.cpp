#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tarlek::testing {
namespace {

TEST(EndToEnd, BinProgramGetsTheResidentAtItsPage) {
  TempDir dir;
  Bytes program(0x200, 0);
  program[0] = 0x12;
  program[1] = 0x80;
  program[2] = 0x00;
  program[0x23] = 0x02;
  WriteFile(dir / "prog.bin", program);
  WriteFile(dir / "tarlek.bin",
            Bytes{0x05, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x03, 0x80, 0xFE});
  RunResult run = RunTarlekProcess(dir.path(), {"prog.bin"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_NE(run.output.find("Tarlek is now located at 8000h\n\nTarlek loading O.K. - thank You "
                            "for using it.\n"),
            std::string::npos)
      << run.output;
  Bytes merged = ReadFile(dir / "prog.bin");
  ASSERT_EQ(merged.size(), 0x8005u);
  EXPECT_EQ(Bytes(merged.begin() + 0x8000, merged.end()), (Bytes{0x02, 0x80, 0x03, 0x80, 0xFE}));
}

}  // namespace
}  // namespace tarlek::testing
