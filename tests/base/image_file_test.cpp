// Intel HEX as tarlek-mon writes and reads it: records of sixteen bytes, the
// addresses a file holds, what it refuses, and nothing after its end.
#include "base/image_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/failure.h"

namespace tarlek {
namespace {

TEST(IntelHex, WritesRecordsOfSixteenAndReadsThemBack) {
  Segment segment{0x7FF8, {}};
  for (int i = 0; i < 20; ++i) segment.data.push_back(static_cast<uint8_t>(i));
  const std::string text = FormatIntelHex({segment});
  EXPECT_EQ(text,
            ":107FF800000102030405060708090A0B0C0D0E0F01\n"
            ":04800800101112132E\n"
            ":00000001FF\n");
  EXPECT_EQ(ParseIntelHex(text, "t.hex"), std::vector<Segment>{segment});
}

TEST(IntelHex, ReadsTheAddressesTheFileHolds) {
  // Two records with a hole, one adjoining, an extended linear address of 0,
  // CR LF line ends.
  const std::string text =
      ":020000040000FA\r\n"
      ":0200100001FFEE\r\n"
      ":02001200ABCD74\r\n"
      ":01002000FFE0\r\n"
      ":00000001FF\r\n";
  const std::vector<Segment> expected = {{0x10, {0x01, 0xFF, 0xAB, 0xCD}}, {0x20, {0xFF}}};
  EXPECT_EQ(ParseIntelHex(text, "t.hex"), expected);

  const struct {
    const char* name;
    std::string text;
    const char* message;
  } bad[] = {
      {"checksum", ":0100200000DE\n", "t.hex:1: bad checksum"},
      {"not a record", "hello\n", "t.hex:1: not an Intel HEX record"},
      {"short count", ":0200200000DE\n", "t.hex:1: record length"},
      {"above FFFFh", ":020000040001F9\n:0100000000FF\n", "t.hex:2: data above FFFFh"},
  };
  for (const auto& b : bad) {
    try {
      ParseIntelHex(b.text, "t.hex");
      ADD_FAILURE() << b.name;
    } catch (const Failure& f) {
      EXPECT_EQ(f.status(), kExitUsage) << b.name;
      EXPECT_NE(std::string(f.what()).find(b.message), std::string::npos) << f.what();
    }
  }
}

TEST(IntelHex, ReadsNothingAfterTheEndOfFileRecord) {
  const std::string head = ":0100200011CE\n:00000001FF\n";
  const std::vector<Segment> expected = {{0x20, {0x11}}};
  const struct {
    const char* name;
    std::string after;
  } cases[] = {
      {"a data record", ":01003000AA25\n"},
      {"text that is no record", "written by the build on a Tuesday\n"},
      {"a record with a bad checksum", ":0100200022FF\n"},
  };
  for (const auto& c : cases) {
    try {
      EXPECT_EQ(ParseIntelHex(head + c.after, "t.hex"), expected) << c.name;
    } catch (const Failure& f) {
      ADD_FAILURE() << c.name << ": " << f.what();
    }
  }
}

}  // namespace
}  // namespace tarlek
