// plot against the fake resident: what it prints from its start to its end.
#include <gtest/gtest.h>

#include <regex>

#include "base/failure.h"
#include "mon/commands/run.h"
#include "mon/support/session.h"

namespace tarlek::mon {
namespace {

using testing::Session;

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

}  // namespace
}  // namespace tarlek::mon
