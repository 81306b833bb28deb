#include "mon/line/serial_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace tarlek::mon {

bool SetAnySpeed(int fd, uint32_t baud) {
  struct termios2 settings {};
  if (::ioctl(fd, TCGETS2, &settings) != 0) return false;
  settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ospeed = baud;
  settings.c_ispeed = baud;
  return ::ioctl(fd, TCSETS2, &settings) == 0;
}

uint32_t ReadAnySpeed(int fd) {
  struct termios2 settings {};
  if (::ioctl(fd, TCGETS2, &settings) != 0) return 0;
  return settings.c_ospeed;
}

}  // namespace tarlek::mon
