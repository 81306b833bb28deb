#include "writers/hex_writer.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "driver/hex_text.h"

namespace tarlek {
namespace {

constexpr uint16_t kFirstDataByte = 4;
constexpr std::string_view kEndOfFile = ":00000001FF\n";

// Every address from first through last, both included, in records of 16
// bytes from first on; only the range's last record may be shorter, and a
// record never spans two ranges. An empty range (last below first) writes
// nothing, and nothing past FFFFh is ever taken.
void WriteRange(const ProgramState& state, OutputFile& file, uint32_t first, uint32_t last) {
  last = std::min<uint32_t>(last, 0xFFFF);
  HexRecord record;
  for (uint32_t address = first; address <= last;) {
    const uint32_t n = std::min<uint32_t>(kHexRecordDataMax, last - address + 1);
    StartHexRecord(record, static_cast<uint16_t>(address));
    std::memcpy(record.bytes + record.fill, &state.Image[address], n);
    record.fill = static_cast<uint16_t>(record.fill + n);
    WriteHexRecord(record, file);
    address += n;
  }
}

}  // namespace

void StartHexRecord(HexRecord& record, uint16_t address) {
  std::memset(record.bytes, 0, sizeof record.bytes);
  record.fill = kFirstDataByte;
  record.address = address;
}

size_t FormatHexRecord(HexRecord& record, char* line) {
  const uint16_t fill = record.fill;
  record.bytes[0] = static_cast<uint8_t>(fill - kFirstDataByte);
  record.bytes[1] = static_cast<uint8_t>(record.address >> 8);
  record.bytes[2] = static_cast<uint8_t>(record.address);
  char* out = line;
  *out++ = ':';
  unsigned sum = 0;
  for (uint16_t i = 0; i < fill; ++i) {
    const uint8_t byte = record.bytes[i];
    std::memcpy(out, HexByte(byte).data(), 2);
    out += 2;
    sum += byte;
  }
  // The checksum makes all bytes from the count on add up to 0, modulo 256.
  std::memcpy(out, HexByte(static_cast<uint8_t>(0x100 - (sum & 0xFF))).data(), 2);
  out += 2;
  *out++ = '\n';
  return static_cast<size_t>(out - line);
}

void WriteHexRecord(HexRecord& record, OutputFile& file) {
  char line[kHexRecordLineMax];
  file.Write(line, FormatHexRecord(record, line));
}

bool WriteHexFile(const ProgramState& state, Console& console, const char* name) {
  return WriteOutputFile(console, "INTEL HEX", name, [&](OutputFile& file) {
    WriteRange(state, file, 0, state.ProgramEnd);
    WriteRange(state, file, state.ResidentStart, state.ResidentEnd);
    file.Write(kEndOfFile.data(), kEndOfFile.size());
  });
}

}  // namespace tarlek
