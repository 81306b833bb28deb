#include "base/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tarlek {

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool InputFile::Open(const char* path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

ssize_t InputFile::ReadUpTo(uint8_t* buffer, size_t capacity) {
  size_t count = 0;
  while (count < capacity) {
    ssize_t n = ::read(fd_, buffer + count, capacity - count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    count += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(count);
}

}  // namespace tarlek
