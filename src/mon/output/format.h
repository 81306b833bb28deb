// Text layouts of memory: the hex dump, byte lists and the ranges where two
// images differ; and the time of day that stamps lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "protocol/frame.h"

namespace tarlek::mon {

// Lines like hexdump -C: the address (4 hex digits, or 2 for a 1-byte
// space), 16 bytes in two groups of 8, then the printable characters between
// bars. Lines start at multiples of 16: bytes before the first address are
// left blank, so each byte keeps the column of its low address digit.
std::string HexDump(uint32_t address, std::span<const uint8_t> bytes, int address_digits);

// "12 34 AB"
std::string ByteList(std::span<const uint8_t> bytes);

// The ranges where actual differs from expected, both starting at address.
struct Difference {
  uint32_t first = 0;
  uint32_t last = 0;  // inclusive
  protocol::Bytes expected;
  protocol::Bytes actual;
  bool operator==(const Difference&) const = default;
};
std::vector<Difference> FindDifferences(uint32_t address, std::span<const uint8_t> expected,
                                        std::span<const uint8_t> actual);

// The local time of day to the millisecond, "HH:MM:SS.mmm", as watch's lines
// and console --json stamp it. seconds_since_epoch: a sample's time, rounded
// to the millisecond.
std::string TimeOfDay(std::chrono::system_clock::time_point when);
std::string TimeOfDay(double seconds_since_epoch);

}  // namespace tarlek::mon
