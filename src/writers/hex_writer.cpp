#include "writers/hex_writer.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "driver/hex_text.h"

namespace tarlek {
namespace {

constexpr uint16_t kFirstDataByte = 4;
constexpr std::string_view kEndOfFile = ":00000001FF\n";

// Addresses first up to (not including) end, end at most 10000h.
struct Range {
  uint32_t first;
  uint32_t end;
};

// What the file holds: the program from 0000h through ProgramEnd, but never
// the resident's first address (after a binary input ProgramEnd is one past
// the program and may be just that address), then the resident. Nothing past
// FFFFh is ever taken.
void FileRanges(const ProgramState& state, Range (&ranges)[2]) {
  const uint32_t program_end =
      std::min<uint32_t>(uint32_t{state.ProgramEnd} + 1, state.ResidentStart);
  ranges[0] = {0, program_end};
  ranges[1] = {state.ResidentStart,
               std::min<uint32_t>(uint32_t{state.ResidentEnd} + 1, kImageSize)};
}

// Every address of the range, in records of 16 bytes from its first on; only
// the range's last record may be shorter, and a record never spans two
// ranges. An empty range (end at or below first) writes nothing.
void WriteRange(const ProgramState& state, OutputFile& file, Range range) {
  HexRecord record;
  for (uint32_t address = range.first; address < range.end;) {
    const uint32_t n = std::min<uint32_t>(kHexRecordDataMax, range.end - address);
    StartHexRecord(record, static_cast<uint16_t>(address));
    std::memcpy(record.bytes + record.fill, &state.Image[address], n);
    record.fill = static_cast<uint16_t>(record.fill + n);
    WriteHexRecord(record, file);
    address += n;
  }
}

// The number of characters WriteRange writes for the range.
size_t RangeTextSize(Range range) {
  if (range.end <= range.first) return 0;
  const size_t bytes = range.end - range.first;
  const size_t full = bytes / kHexRecordDataMax;
  const size_t rest = bytes % kHexRecordDataMax;
  // Each record: ':', count, address, type, two digits a byte, checksum, LF.
  return full * kHexRecordLineMax + (rest > 0 ? 12 + 2 * rest : 0);
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

size_t HexFileSize(const ProgramState& state) {
  Range ranges[2];
  FileRanges(state, ranges);
  return RangeTextSize(ranges[0]) + RangeTextSize(ranges[1]) + kEndOfFile.size();
}

bool WriteHexFile(const ProgramState& state, Console& console, const char* name) {
  Range ranges[2];
  FileRanges(state, ranges);
  return WriteOutputFile(console, "INTEL HEX", name, HexFileSize(state), [&](OutputFile& file) {
    for (const Range& range : ranges) WriteRange(state, file, range);
    file.Write(kEndOfFile.data(), kEndOfFile.size());
  });
}

}  // namespace tarlek
