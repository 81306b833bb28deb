#pragma once

#include <string_view>

#include "driver/console.h"
#include "image/program_state.h"

namespace tarlek {

// Longest line kept whole: a record of 255 data bytes is 521 characters.
constexpr size_t kHexLineCapacity = 1024;

// Loads an Intel HEX program into Image and sets ProgramEnd to the highest
// address stored. Lenient: fields are cut by fixed character positions, the
// start code and checksum are not checked, and reading goes on past the
// end-of-file record.
bool ReadHexFile(ProgramState& state, Console& console, const char* name);

}  // namespace tarlek
