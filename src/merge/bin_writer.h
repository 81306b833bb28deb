#pragma once

#include "base/console.h"
#include "merge/program_state.h"

namespace tarlek {

// Writes Image from 0000h through ResidentEnd as a raw memory image.
bool WriteBinFile(const ProgramState& state, Console& console, const char* name);

}  // namespace tarlek
