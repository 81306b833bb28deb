// A command's run against the fake resident: the program's output in whole
// lines around it, and a resident that does not answer.
#include "mon/commands/run.h"

#include <gtest/gtest.h>

#include <string>

#include "base/failure.h"
#include "mon/support/session.h"

namespace tarlek::mon {
namespace {

using testing::Session;

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

  // A failure's message comes after the cut line, on a line of its own. The
  // read goes unanswered; the program's text comes with the first answer
  // only, should a busy machine make the identify need a retry.
  Session failing;
  failing.resident->SetChatter({'a', 'b'}, {});
  failing.resident->OnAnswered([&](uint8_t) { failing.resident->SetChatter({}, {}); });
  failing.resident->FaultCommand(protocol::kReadIram, testing::Fault::kSilent);
  EXPECT_EQ(failing.Run({"--slack", "0.2", "read", "iram", "40", "1"}), kExitFailure);
  EXPECT_EQ(failing.err.rfind("ab [cut]\nno answer", 0), 0u) << failing.err;
}

TEST(Commands, NoAnswerIsExitOneWithTheHint) {
  Session s;
  s.resident->AlwaysFault(testing::Fault::kSilent);
  EXPECT_EQ(s.Run({"--retries", "0", "--slack", "0.2", "identify"}), kExitFailure);
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

}  // namespace
}  // namespace tarlek::mon
