#pragma once

#include <cstddef>
#include <cstdint>

#include "driver/console.h"
#include "image/program_state.h"
#include "writers/output_file.h"

namespace tarlek {

constexpr uint16_t kHexRecordDataMax = 16;
constexpr size_t kHexRecordLineMax = 11 + 2 * kHexRecordDataMax + 1;  // with its line feed

// One data record under construction: byte count, address (high byte first)
// and type 00, then the data bytes from index 4 on.
struct HexRecord {
  uint8_t bytes[128];
  uint16_t fill;     // index of the next free byte: 4 when empty, 20 when full
  uint16_t address;  // address of the first data byte
};

// Empties the record and starts it at address.
void StartHexRecord(HexRecord& record, uint16_t address);

// Completes the record (count, address, checksum) and formats it as one line
// ending in a line feed, into line; returns the number of characters.
size_t FormatHexRecord(HexRecord& record, char* line);

// Completes the record and writes it to the file as one line.
void WriteHexRecord(HexRecord& record, OutputFile& file);

// The length of the file WriteHexFile writes for state.
size_t HexFileSize(const ProgramState& state);

// Writes Image as Intel HEX: 0000h..ProgramEnd (never reaching ResidentStart),
// then ResidentStart..ResidentEnd, in data records of at most 16 bytes, then
// the end-of-file record.
bool WriteHexFile(const ProgramState& state, Console& console, const char* name);

}  // namespace tarlek
