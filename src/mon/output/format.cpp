#include "mon/output/format.h"

#include <fmt/format.h>
#include <time.h>

#include <algorithm>

namespace tarlek::mon {

std::string HexDump(uint32_t address, std::span<const uint8_t> bytes, int address_digits) {
  std::string out;
  const uint32_t end = address + static_cast<uint32_t>(bytes.size());
  for (uint32_t line = address & ~0xFu; line < end; line += 16) {
    out += fmt::format("{:0{}X} ", line, address_digits);
    std::string text;
    for (uint32_t at = line; at < line + 16; ++at) {
      if (at % 8 == 0) out += ' ';
      if (at < address || at >= end) {
        out += "   ";
        text += ' ';
        continue;
      }
      const uint8_t b = bytes[at - address];
      out += fmt::format("{:02x} ", b);
      text += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
    }
    // Trailing blanks of a short last line are dropped, as hexdump does.
    if (line + 16 > end) text.erase(text.find_last_not_of(' ') + 1);
    out += " |" + text + "|\n";
  }
  return out;
}

std::string ByteList(std::span<const uint8_t> bytes) {
  std::string out;
  for (uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += fmt::format("{:02X}", b);
  }
  return out;
}

std::vector<Difference> FindDifferences(uint32_t address, std::span<const uint8_t> expected,
                                        std::span<const uint8_t> actual) {
  std::vector<Difference> out;
  const size_t count = std::min(expected.size(), actual.size());
  for (size_t i = 0; i < count; ++i) {
    if (expected[i] == actual[i]) continue;
    const uint32_t at = address + static_cast<uint32_t>(i);
    if (out.empty() || out.back().last + 1 != at) out.push_back(Difference{at, at, {}, {}});
    out.back().last = at;
    out.back().expected.push_back(expected[i]);
    out.back().actual.push_back(actual[i]);
  }
  return out;
}

std::string TimeOfDay(std::chrono::system_clock::time_point when) {
  const auto ms = std::chrono::floor<std::chrono::milliseconds>(when);
  const auto seconds = std::chrono::floor<std::chrono::seconds>(ms);
  const time_t whole = std::chrono::system_clock::to_time_t(seconds);
  tm local{};
  localtime_r(&whole, &local);
  return fmt::format("{:02}:{:02}:{:02}.{:03}", local.tm_hour, local.tm_min, local.tm_sec,
                     (ms - seconds).count());
}

std::string TimeOfDay(double seconds_since_epoch) {
  return TimeOfDay(std::chrono::sys_time<std::chrono::milliseconds>(
      std::chrono::round<std::chrono::milliseconds>(
          std::chrono::duration<double>(seconds_since_epoch))));
}

}  // namespace tarlek::mon
