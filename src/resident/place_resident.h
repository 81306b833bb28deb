#pragma once

#include "driver/console.h"
#include "image/program_state.h"

namespace tarlek {

// The resident image file, looked up in the current directory only.
constexpr const char* kResidentFileName = "tarlek.bin";

// Reads the resident image file, checks the two hooks of the include file
// (LCALL at 0000h, LJMP at 0023h) and the start address the long call names,
// and lays the resident, relocated to that page, into Image. Every check comes
// before the first change to Image.
bool PlaceResident(ProgramState& state, Console& console);

}  // namespace tarlek
