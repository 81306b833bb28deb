// Hexadecimal text: the two-digit form of a byte that every printed or written
// number is built from, the lenient reading of a field of an Intel HEX line,
// and the strict reading of a number's digits.
#pragma once

#include <array>
#include <charconv>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarlek {

// Exactly two upper-case digits, high digit first. The view points into a
// static table, so it stays valid for the whole process.
std::string_view HexByte(uint8_t value);

// A text of hexadecimal digits (either case, no prefix, sign or blank) as a
// 16-bit value. An empty text, or one holding any other character anywhere,
// gives 0; more than four significant digits keep the low 16 bits.
uint16_t HexToWord(std::string_view text);

// The number a whole text of digits spells in base (10, 16, ...): no sign,
// prefix, suffix or blank, either letter case. nullopt for an empty text, any
// other character, or a value past what T holds.
template <std::unsigned_integral T>
std::optional<T> ParseDigits(std::string_view text, int base) {
  T value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

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
