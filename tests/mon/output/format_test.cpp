// Text layouts: the hex dump, the ranges where two images differ, and the
// time of day a sample is shown at.
#include "mon/output/format.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace tarlek::mon {
namespace {

TEST(HexDumpLayout, LikeHexdumpC) {
  protocol::Bytes bytes;
  for (int i = 0; i < 20; ++i) bytes.push_back(static_cast<uint8_t>(0x41 + i));
  bytes[3] = 0x00;
  bytes[4] = 0xA5;
  EXPECT_EQ(HexDump(0x8000, bytes, 4),
            "8000  41 42 43 00 a5 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABC..FGHIJKLMNOP|\n"
            "8010  51 52 53 54                                       |QRST|\n");
  // An address that is not a multiple of 16 keeps each byte's column.
  EXPECT_EQ(HexDump(0x3E, protocol::Bytes{0x30, 0x31, 0x32}, 2),
            "30                                             30 31  |              01|\n"
            "40  32                                                |2|\n");
}

TEST(Differences, RangesOfDifferingBytes) {
  const protocol::Bytes file = {1, 2, 3, 4, 5, 6, 7, 8};
  const protocol::Bytes chip = {1, 0, 0, 4, 5, 6, 0, 8};
  const std::vector<Difference> expected = {
      {0x8001, 0x8002, {2, 3}, {0, 0}},
      {0x8006, 0x8006, {7}, {0}},
  };
  EXPECT_EQ(FindDifferences(0x8000, file, chip), expected);
  EXPECT_TRUE(FindDifferences(0, file, file).empty());
}

// The time of day is local: each case is held against the same instant given
// as a time point, whatever the zone.
TEST(TimeOfDay, SampleTimesRoundToTheMillisecond) {
  using std::chrono::milliseconds;
  using std::chrono::sys_time;
  const sys_time<milliseconds> start(milliseconds(1'700'000'000'000LL));
  const std::pair<double, sys_time<milliseconds>> cases[] = {
      {1'700'000'000.0, start},
      {1'700'000'000.123, start + milliseconds(123)},
      // A fraction that rounds up carries into the next second.
      {1'700'000'000.9996, start + milliseconds(1000)},
      {1'700'000'059.9999, start + milliseconds(60'000)},
  };
  for (const auto& [seconds, instant] : cases) {
    EXPECT_EQ(TimeOfDay(seconds), TimeOfDay(instant)) << seconds;
  }
  const std::string text = TimeOfDay(start + milliseconds(45));
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d\d:\d\d:\d\d\.045)"))) << text;
}

}  // namespace
}  // namespace tarlek::mon
