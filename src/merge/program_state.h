// Everything one run builds: the 8051 code memory image and the addresses that
// say what lies in it. One object lives for the whole process; each step of
// the run takes it by reference.
#pragma once

#include <array>
#include <cstdint>

#include "base/address_space.h"

namespace tarlek {

constexpr uint32_t kResidentBufferSize = 30001;

struct ProgramState {
  // Code memory being built, index = code address 0000h..FFFFh.
  std::array<uint8_t, kAddressSpaceSize> Image{};
  // After the HEX reader: the highest address loaded. After the BIN reader:
  // the number of bytes loaded, one past the last address.
  uint16_t ProgramEnd = 0;
  // Whether ProgramEnd is itself the program's last byte (after the HEX
  // reader) rather than one past it (after the BIN reader).
  bool ProgramEndIsLast = false;
  uint16_t ResidentStart = 0;   // first address of the placed resident
  uint8_t ResidentPage = 0;     // added to each relocatable resident byte
  uint16_t ResidentLength = 0;  // N, from the resident image file
  uint16_t ResidentEnd = 0;     // last address of the placed resident
  // The resident image file as read; one byte more than the largest valid
  // file, so that a longer file can never pass the size check.
  std::array<uint8_t, kResidentBufferSize> ResidentBuffer{};
  bool LoadOK = false;

  // Sets every byte of the image to 00h.
  void ClearImage() { Image.fill(0); }
  // The first address above the developer's program, whichever reader loaded it.
  uint32_t FirstFreeAddress() const { return uint32_t{ProgramEnd} + (ProgramEndIsLast ? 1u : 0u); }
};

}  // namespace tarlek
