// Hexadecimal text: the two-digit form of a byte that every printed or written
// number is built from, and the lenient reading of a field of an Intel HEX line.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tarlek {

// Exactly two upper-case digits, high digit first. The view points into a
// static table, so it stays valid for the whole process.
std::string_view HexByte(uint8_t value);

// A text of hexadecimal digits (either case, no prefix, sign or blank) as a
// 16-bit value. An empty text, or one holding any other character anywhere,
// gives 0; more than four significant digits keep the low 16 bits.
uint16_t HexToWord(std::string_view text);

// For every two characters c0 c1, indexed by c0 + 256 * c1: the byte they
// spell as two hexadecimal digits (high digit first), or kNotHexPair when
// either is not a digit. kNotHexPair's low eight bits are 00h, the byte that
// a lenient reader stores for a pair that is not a number.
constexpr uint16_t kNotHexPair = 0x100;
extern const std::array<uint16_t, 65536> kHexPairTable;

// The two characters at text as one byte value, or kNotHexPair.
inline uint16_t HexPairValue(const char* text) {
  const unsigned first = static_cast<unsigned char>(text[0]);
  const unsigned second = static_cast<unsigned char>(text[1]);
  return kHexPairTable[first | second << 8];
}

}  // namespace tarlek
