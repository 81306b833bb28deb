// Read-only access to an input file (the developer's program or the resident
// image file), with every read checked.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace tarlek {

class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens a file for reading. A directory, or anything that cannot be opened,
  // gives false.
  bool Open(const char* path);

  // Reads up to capacity bytes, going on after short reads until the buffer is
  // full or the file ends. Returns the count, or -1 on a read error.
  ssize_t ReadUpTo(uint8_t* buffer, size_t capacity);

 private:
  int fd_ = -1;
};

}  // namespace tarlek
