// Writing a whole buffer to a file descriptor, whatever the kernel takes in
// one write.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string_view>

namespace tarlek {

// Writes size bytes from data to fd, again after a short write or EINTR.
// False when a write fails or writes nothing (errno then says why); the
// bytes before it are written.
inline bool WriteFully(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

inline bool WriteFully(int fd, std::string_view text) {
  return WriteFully(fd, text.data(), text.size());
}

}  // namespace tarlek
