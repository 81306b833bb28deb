// What a name on the command line stands for: a C expression over the
// program's variables (counter, sensor.temp, log[3], log[2].when) resolved to
// a type and the place of its bytes.
#pragma once

#include <string>
#include <string_view>

#include "mon/symbols/symbol_table.h"

namespace tarlek::mon {

// A name or address resolved: the text given, the type read there and the
// place of its bytes.
struct Target {
  std::string name;  // as given; for an address, its place ("iram 30h")
  TypePtr type;
  Place place;
};

// NAME, then any of .MEMBER and [INDEX] (decimal, or 0x.. hexadecimal);
// EXPRESSION:COUNT is COUNT bytes (hexadecimal) from its place, untyped.
// Throws a usage Failure that names what is wrong: an unknown name (with
// Program::Missing's reason), a member the struct lacks, an index past the
// array's end, a member of something that is no struct.
Target ResolveName(const SymbolTable& program, std::string_view expression);

// A target of count untyped bytes at an address.
Target RawTarget(std::string name, Space space, uint32_t address, uint32_t count);

// Whether text could be a name expression (starts like a C identifier).
bool LooksLikeName(std::string_view text);

// The variable an expression begins with: its text up to the first '.', '['
// or ':' (sensor for sensor.temp, log for log[2], table for table:4).
std::string_view BaseName(std::string_view expression);

}  // namespace tarlek::mon
