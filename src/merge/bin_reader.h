#pragma once

#include "base/console.h"
#include "merge/program_state.h"

namespace tarlek {

// Loads a raw binary program into Image from 0000h on, at most 65,535 bytes,
// and sets ProgramEnd to the number of bytes loaded.
bool ReadBinFile(ProgramState& state, Console& console, const char* name);

}  // namespace tarlek
