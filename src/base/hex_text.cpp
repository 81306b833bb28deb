#include "base/hex_text.h"

#include <array>

namespace tarlek {
namespace {

constexpr std::string_view kDigits = "0123456789ABCDEF";

constexpr std::array<char, 512> MakeByteTable() {
  std::array<char, 512> table{};
  for (size_t b = 0; b < 256; ++b) {
    table[2 * b] = kDigits[b / 16];
    table[2 * b + 1] = kDigits[b % 16];
  }
  return table;
}

constexpr std::array<uint8_t, 256> MakeDigitTable() {
  std::array<uint8_t, 256> table{};
  for (auto& v : table) v = 0xFF;
  for (size_t d = 0; d < 10; ++d) table['0' + d] = static_cast<uint8_t>(d);
  for (size_t d = 0; d < 6; ++d) {
    table['A' + d] = static_cast<uint8_t>(10 + d);
    table['a' + d] = static_cast<uint8_t>(10 + d);
  }
  return table;
}

constexpr std::array<char, 512> kByteTable = MakeByteTable();
constexpr std::array<uint8_t, 256> kDigitTable = MakeDigitTable();

}  // namespace

constexpr std::array<uint16_t, 65536> MakePairTable() {
  std::array<uint16_t, 65536> table{};
  for (unsigned index = 0; index < table.size(); ++index) {
    const uint8_t high = kDigitTable[index & 0xFF];
    const uint8_t low = kDigitTable[index >> 8];
    table[index] = high > 0x0F || low > 0x0F ? kNotHexPair : static_cast<uint16_t>(high << 4 | low);
  }
  return table;
}

constexpr std::array<uint16_t, 65536> kHexPairTable = MakePairTable();

std::string_view HexByte(uint8_t value) { return {&kByteTable[size_t{2} * value], 2}; }

uint16_t HexToWord(std::string_view text) {
  uint16_t value = 0;
  for (char c : text) {
    const uint8_t d = kDigitTable[static_cast<unsigned char>(c)];
    if (d == 0xFF) return 0;  // not a digit
    value = static_cast<uint16_t>((value << 4) | d);
  }
  return value;
}

}  // namespace tarlek
