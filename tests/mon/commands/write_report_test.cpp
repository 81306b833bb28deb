// What a write says the resident kept from happening: the SFR bits of its
// link, SP, and its own stack in internal RAM, by the names of the
// resident's facts.
#include "mon/commands/write_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/failure.h"
#include "base/resident_facts.h"
#include "mon/commands/run.h"
#include "mon/support/session.h"

namespace tarlek::mon {
namespace {

using testing::Session;

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

TEST(WriteReport, NamesSconsKeptBitsAsTheResidentHasThem) {
  // The answer to a write of SCON: mode, receiver, the line's owner and the
  // interrupt's flags; SM2 and RB8 are written as asked.
  EXPECT_EQ(KeptNotes(resident::kSfrScon, std::vector<uint8_t>{0x00}, std::vector<uint8_t>{0xFF},
                      std::vector<uint8_t>{0xDB}),
            "note: the resident kept SM0, SM1, REN, TB8, TI, RI of SCON (98h) as they were, to "
            "keep its link alive\n");
}

}  // namespace
}  // namespace tarlek::mon
