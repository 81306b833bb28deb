#pragma once

#include <cstddef>
#include <cstdint>

#include "base/console.h"
#include "base/intel_hex.h"
#include "merge/program_state.h"

namespace tarlek {

// The length of the file WriteHexFile writes for state.
size_t HexFileSize(const ProgramState& state);

// Writes Image as Intel HEX: 0000h..ProgramEnd (never reaching ResidentStart),
// then ResidentStart..ResidentEnd, in data records of at most 16 bytes, then
// the end-of-file record.
bool WriteHexFile(const ProgramState& state, Console& console, const char* name);

}  // namespace tarlek
