// Turns the resident, assembled twice, into the resident image file: a 16-bit
// little-endian length N, N relocation flags, N code bytes.
//
// The same source assembled at 0000h and at 0100h differs exactly in the bytes
// that hold the high byte of an address inside the resident: those are one
// greater in the second build and get flag 01h; every other byte must be
// equal and gets flag 00h. Any other difference is something that adding a
// page number cannot move (an AJMP or ACALL, whose address bits sit in the
// opcode, a label divided by 16, a low address byte that wraps) and is refused.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarlek {

// The longest resident that the loader takes: the file must stay within 30000 bytes.
constexpr uint32_t kMaxResidentLength = 14999;

struct ResidentBuild {
  enum class Result { kOk, kLengthsDiffer, kTooLong, kNotRelocatable };

  Result result = Result::kOk;
  // For kNotRelocatable: every offending offset, ascending.
  std::vector<uint32_t> refused_offsets;
  // For kOk: the whole resident image file, 2N + 2 bytes.
  std::vector<uint8_t> file;
};

// at0000h and at0100h are the code bytes of the two builds, each from its own
// origin on.
ResidentBuild BuildResidentImage(std::span<const uint8_t> at0000h,
                                 std::span<const uint8_t> at0100h);

}  // namespace tarlek
