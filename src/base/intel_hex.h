// The one Intel HEX codec of both tools and the resident builder.
//
// Two readings of a file: the lenient one the merge tool has always used (it
// loads whatever a record's fixed character positions hold and never refuses
// a line), and the strict one tarlek-mon reads a verify file with (record
// syntax, counts and checksums checked, a failure names its line). One
// writer: data records of at most 16 bytes, upper-case digits, LF line ends.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/address_space.h"
#include "base/console.h"
#include "base/output_file.h"

namespace tarlek {

using CodeImage = std::array<uint8_t, kAddressSpaceSize>;

// ---- The lenient reading ----------------------------------------------------

// Longest line kept whole: a record of 255 data bytes is 521 characters.
constexpr size_t kHexLineCapacity = 1024;

// Loads an Intel HEX file into image and sets highest to the highest address
// stored (0 when nothing is). Lenient: fields are cut by fixed character
// positions, the start code and checksum are not checked, and reading goes on
// past the end-of-file record. A failure is one line on the console: "ERROR -
// INTEL HEX input file NAME cannot be opened !", "... cannot be read !" or
// "... has data above address FFFFh !".
bool ReadHexLenient(Console& console, const char* name, CodeImage& image, uint16_t& highest);

// ---- The strict reading -----------------------------------------------------

// What a strict reading loaded: the bytes and which addresses a record gave.
struct HexContents {
  CodeImage bytes{};
  std::bitset<kAddressSpaceSize> held;
};

// Why a strict reading refused its text: the 1-based line and a short
// reason ("bad checksum", "data above FFFFh" ...).
struct HexRefusal {
  size_t line = 0;
  char reason[48] = {};
};

// Reads Intel HEX text, checking record syntax, counts and checksums; honours
// extended segment and linear address records (02, 04), ignores start
// addresses (03, 05), refuses data above FFFFh and unknown record types.
// Lines end in LF, CR LF or trailing blanks; empty lines are skipped and
// nothing after the end-of-file record is read. A later record giving an
// address again wins. False, with refusal filled, on the first fault.
bool ReadHexStrict(std::string_view text, HexContents& contents, HexRefusal& refusal);

// ---- The writer ---------------------------------------------------------------

constexpr uint16_t kHexRecordDataMax = 16;
constexpr size_t kHexRecordLineMax = 11 + 2 * kHexRecordDataMax + 1;  // with its line feed
constexpr std::string_view kHexEndOfFile = ":00000001FF\n";

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

// The records of the bytes first..end-1 (end at most 10000h), 16 from first on,
// one line each: the number of characters, and the writing of them.
size_t HexRangeTextSize(uint32_t first, uint32_t end);
void WriteHexRange(const uint8_t* image, uint32_t first, uint32_t end, OutputFile& file);

}  // namespace tarlek
