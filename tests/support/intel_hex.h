// Intel HEX text for the tests, built and read here independently of the
// tool's own reader and writer, and the comparison of code images.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "base/address_space.h"
#include "support/test_support.h"

namespace tarlek::testing {

// One well-formed record line (upper-case digits, correct checksum), without
// its line end.
std::string RecordLine(uint8_t type, uint16_t address, const Bytes& data);

struct WrittenRecord {
  uint16_t address;
  Bytes data;
};

// Reads text as the tool must write it: data records of 1 to 16 bytes, each a
// line of ":" and upper-case digits with a correct checksum ended by a single
// LF, and ":00000001FF" as the last line. Anything else fails the test.
std::vector<WrittenRecord> ParseWrittenHex(const std::string& text);

// The code memory that a set of records describes, and which addresses they
// cover. Two records that give one address fail the test, as they make other
// tools refuse the file as overlapping, even when they agree on its value.
struct LoadedHex {
  Bytes image = Bytes(kAddressSpaceSize, 0);
  std::vector<bool> covered = std::vector<bool>(kAddressSpaceSize, false);
};
LoadedHex LoadRecords(const std::vector<WrittenRecord>& records);

// The addresses first..last of each range, both ends included; a range with
// last below first is empty.
std::vector<bool> Covering(std::initializer_list<std::pair<uint32_t, uint32_t>> ranges);

// Empty when the two images (or coverings) are equal; else where they first
// differ, with both values, or their sizes: a 64 KB image printed whole would
// hide the one byte that matters.
template <typename Sequence>
std::string Difference(const Sequence& got, const Sequence& want) {
  size_t a = 0;
  while (a < got.size() && a < want.size() && got[a] == want[a]) ++a;
  if (a == got.size() && a == want.size()) return {};
  if (a == got.size() || a == want.size())
    return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size());
  char text[64];
  std::snprintf(text, sizeof text, "at %04zXh: %02X, expected %02X", a,
                static_cast<unsigned>(got[a]), static_cast<unsigned>(want[a]));
  return text;
}

}  // namespace tarlek::testing
