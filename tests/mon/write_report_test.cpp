// What tarlek-mon says of the bits a resident kept from a write, by the
// names of the resident's facts.
#include "mon/commands/write_report.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/resident_facts.h"

namespace tarlek::mon {
namespace {

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
