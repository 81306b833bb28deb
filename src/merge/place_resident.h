#pragma once

#include <cstdint>
#include <span>

#include "base/console.h"
#include "merge/program_state.h"

namespace tarlek {

// The resident image file, looked up in the current directory only.
constexpr const char* kResidentFileName = "tarlek.bin";

// Places the resident of an image file given as its bytes: checks that the
// file is whole (a 16-bit little-endian length N, N relocation flags, N code
// bytes, N at most 14999), the two hooks of the include file (LCALL at 0000h,
// LJMP at 0023h) and the start address the long call names, and lays the
// resident, relocated to that page, into Image. Every check comes before the
// first change to Image; a failed one writes its line. No file is touched.
bool PlaceResidentImage(ProgramState& state, Console& console, std::span<const uint8_t> file);

// Reads the resident image file into ResidentBuffer and places it with
// PlaceResidentImage.
bool PlaceResident(ProgramState& state, Console& console);

}  // namespace tarlek
