// Addresses, memory spaces and ranges as a user writes them.
#include "mon/line/address.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace tarlek::mon {
namespace {

TEST(Address, HexadecimalAsWritten) {
  const struct {
    const char* text;
    std::optional<uint32_t> value;
  } cases[] = {
      {"8000h", 0x8000}, {"8000H", 0x8000}, {"0x8000", 0x8000}, {"0X8000", 0x8000},
      {"8000", 0x8000},  {"0A0h", 0xA0},    {"ff", 0xFF},       {"0", 0},
      {"h", {}},         {"0x", {}},        {"", {}},           {"80g0", {}},
      {"-1", {}},        {"12 34", {}},     {"1000000", {}},    {"0xFFFFFF", 0xFFFFFF},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseHex(c.text), c.value) << c.text;
}

TEST(Address, SpacesAndRanges) {
  EXPECT_EQ(ParseSpace("XRAM"), Space::kXram);
  EXPECT_EQ(ParseSpace("sfr"), Space::kSfr);
  EXPECT_FALSE(ParseSpace("data").has_value());
  const auto range = ParseRange("8000h-0x80FF");
  ASSERT_TRUE(range.has_value());
  EXPECT_EQ(range->first, 0x8000u);
  EXPECT_EQ(range->last, 0x80FFu);
  EXPECT_FALSE(ParseRange("8100-80FF").has_value());
  EXPECT_FALSE(ParseRange("0-10000").has_value());
  EXPECT_FALSE(ParseRange("8000").has_value());
}

TEST(Address, HexMarkOnlyWhereAllowed) {
  const struct {
    const char* text;
    bool suffix_allowed;
    std::string_view digits;
    bool hex;
  } cases[] = {
      {"0x1F", true, "1F", true},   {"0X1f", false, "1f", true},  {"1Fh", true, "1F", true},
      {"1Fh", false, "1Fh", false}, {"12", true, "12", false},    {"0x", true, "0x", false},
      {"h", true, "h", false},      {"0x12h", true, "12h", true},
  };
  for (const auto& c : cases) {
    const MarkedDigits split = SplitHexMark(c.text, c.suffix_allowed);
    EXPECT_EQ(split.digits, c.digits) << c.text;
    EXPECT_EQ(split.hex, c.hex) << c.text;
  }
}

}  // namespace
}  // namespace tarlek::mon
