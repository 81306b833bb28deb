// HexByte builds every number the tool prints or writes; HexToWord reads every
// field of an Intel HEX line, leniently: anything that is not a plain
// hexadecimal number reads as 0. ParseDigits is the strict reading that
// tarlek-mon's addresses, indexes, values and symbol files go through.
#include "base/hex_text.h"

#include <gtest/gtest.h>

#include <string>

namespace tarlek {
namespace {

struct ByteCase {
  uint8_t value;
  const char* text;
};

TEST(HexByte, GivesTwoUpperCaseDigitsHighFirst) {
  const ByteCase cases[] = {
      {0, "00"}, {9, "09"}, {10, "0A"}, {171, "AB"}, {255, "FF"}, {0x80, "80"}, {0x1F, "1F"},
  };
  for (const ByteCase& c : cases) {
    EXPECT_EQ(HexByte(c.value), c.text) << "value " << int{c.value};
  }
}

TEST(HexByte, EveryByteRoundTripsThroughHexToWord) {
  for (int b = 0; b < 256; ++b) {
    const std::string_view text = HexByte(static_cast<uint8_t>(b));
    ASSERT_EQ(text.size(), 2u);
    for (char c : text) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << text;
    EXPECT_EQ(HexToWord(text), b) << text;
  }
}

struct WordCase {
  std::string text;
  uint16_t value;
};

TEST(HexToWord, ReadsPlainHexadecimalNumbers) {
  const WordCase cases[] = {
      {"1F", 0x001F},
      {"1f", 0x001F},
      {"AbCd", 0xABCD},
      {"FFFF", 0xFFFF},
      {"8000", 0x8000},  // the full 16-bit range, no sign
      {"", 0},
      {"0", 0},
      {"00", 0},
      {"0000000001", 1},  // leading zeros are not significant digits
      {"12345", 0x2345},  // cut to the low 16 bits
      {"12345678", 0x5678},
      {"a", 0x000A},
      {"fF", 0x00FF},
      {"09", 0x0009},
  };
  for (const WordCase& c : cases) {
    EXPECT_EQ(HexToWord(c.text), c.value) << "\"" << c.text << "\"";
  }
}

TEST(HexToWord, AnyOtherCharacterAnywhereGivesZero) {
  const std::string cases[] = {
      "G1",
      "1G",
      "0x1F",
      " 1F",
      "\t1F",
      "1F ",
      "-1",
      "+1",
      "$1F",
      "1 F",
      "FF:",
      "0X1",
      "g",
      ".",
      "1F\n",
      "1F\r",
      std::string("1\0", 2),  // an embedded NUL byte is not a digit either
      "\xC1"
      "1",  // nor is a byte above 7Fh
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(HexToWord(text), 0) << "\"" << text << "\"";
  }
}

TEST(ParseDigits, WholeTextInTheBaseAndRangeGiven) {
  const struct {
    std::string text;
    int base;
    std::optional<uint64_t> value;
  } cases[] = {
      {"0", 10, 0},
      {"4294967295", 10, 4294967295u},
      {"ff", 16, 0xFF},
      {"FF", 16, 0xFF},
      {"12", 16, 0x12},
      {"1F", 10, std::nullopt},  // a digit of another base
      {"", 16, std::nullopt},
      {"-1", 10, std::nullopt},
      {"+1", 10, std::nullopt},
      {" 1", 10, std::nullopt},
      {"1 ", 10, std::nullopt},
      {"0x1F", 16, std::nullopt},  // marks are the caller's to take off
      {"1Fh", 16, std::nullopt},
      {std::string("1\0", 2), 10, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseDigits<uint64_t>(c.text, c.base), c.value) << c.text;
  }
  // A value past the type is refused, not cut.
  EXPECT_EQ(ParseDigits<uint16_t>("65535", 10), 65535);
  EXPECT_EQ(ParseDigits<uint16_t>("65536", 10), std::nullopt);
  EXPECT_EQ(ParseDigits<uint32_t>("100000000", 16), std::nullopt);
  EXPECT_EQ(ParseDigits<uint64_t>("100000000", 16), 0x100000000u);
}

}  // namespace
}  // namespace tarlek
