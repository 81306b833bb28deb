// HexByte builds every number the tool prints or writes; HexToWord reads every
// field of an Intel HEX line, leniently: anything that is not a plain
// hexadecimal number reads as 0.
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

}  // namespace
}  // namespace tarlek
