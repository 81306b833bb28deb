// Line speeds outside the termios table (31250, 28800, 14400 ...), set and
// read the way Linux allows them: termios2 with BOTHER. Apart from port.cpp
// because the kernel's termios2 header and the C library's termios.h cannot
// be included together.
#pragma once

#include <cstdint>

namespace tarlek::mon {

// Sets both directions of the serial device fd to baud, keeping its other
// settings. False, errno set, when the driver refuses.
bool SetAnySpeed(int fd, uint32_t baud);

// The output speed the device reports, in baud; 0 when it cannot say.
uint32_t ReadAnySpeed(int fd);

}  // namespace tarlek::mon
