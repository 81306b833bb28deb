#pragma once

#include "base/console.h"
#include "merge/program_state.h"

namespace tarlek {

// Loads an Intel HEX program into Image (the lenient reading of
// base/intel_hex.h) and sets ProgramEnd to the highest address stored.
bool ReadHexFile(ProgramState& state, Console& console, const char* name);

}  // namespace tarlek
