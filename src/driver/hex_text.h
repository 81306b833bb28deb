// Hexadecimal text: the two-digit form of a byte that every printed or written
// number is built from, and the lenient reading of a field of an Intel HEX line.
#pragma once

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

// The value of one hexadecimal digit, or 0xFF when the character is not one.
uint8_t HexDigitValue(char c);

}  // namespace tarlek
