#include "writers/hex_writer.h"

#include <cstring>
#include <string_view>

#include "driver/hex_text.h"

namespace tarlek {
namespace {

constexpr uint16_t kFirstDataByte = 4;
constexpr std::string_view kEndOfFile = ":00000001FF\n";

// Every address from first through last, both included; a record never spans
// two ranges. An empty range (last below first) writes nothing.
void WriteRange(const ProgramState& state, OutputFile& file, uint32_t first, uint32_t last) {
  HexRecord record;
  StartHexRecord(record, static_cast<uint16_t>(first));
  for (uint32_t address = first; address <= last && address <= 0xFFFF; ++address) {
    record.bytes[record.fill++] = state.Image[address];
    if (record.fill == kFirstDataByte + kHexRecordDataMax) {
      WriteHexRecord(record, file);
      StartHexRecord(record, static_cast<uint16_t>(address + 1));
    }
  }
  if (record.fill > kFirstDataByte) WriteHexRecord(record, file);
}

}  // namespace

void StartHexRecord(HexRecord& record, uint16_t address) {
  std::memset(record.bytes, 0, sizeof record.bytes);
  record.fill = kFirstDataByte;
  record.address = address;
}

size_t FormatHexRecord(HexRecord& record, char* line) {
  record.bytes[0] = static_cast<uint8_t>(record.fill - kFirstDataByte);
  record.bytes[1] = static_cast<uint8_t>(record.address >> 8);
  record.bytes[2] = static_cast<uint8_t>(record.address);
  size_t length = 0;
  line[length++] = ':';
  unsigned sum = 0;
  for (uint16_t i = 0; i < record.fill; ++i) {
    std::memcpy(line + length, HexByte(record.bytes[i]).data(), 2);
    length += 2;
    sum += record.bytes[i];
  }
  std::memcpy(line + length, HexByte(static_cast<uint8_t>(0x100 - (sum & 0xFF))).data(), 2);
  length += 2;
  line[length++] = '\n';
  return length;
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
