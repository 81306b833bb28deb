// The size of the 8051's address spaces of 16-bit addresses, code memory
// and external RAM: 64 KB each. Every tool states it here only.
#pragma once

#include <cstdint>

namespace tarlek {

inline constexpr uint32_t kAddressSpaceSize = 0x10000;

}  // namespace tarlek
