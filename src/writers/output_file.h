// An output file that never costs the user the file it replaces.
//
// A regular file is written to a new temporary file beside it and renamed over
// it only once every byte has been written, flushed to disk and closed without
// error; on any failure, or when the object goes away uncommitted, the
// temporary file is removed and the old file is left as it was. The
// replacement keeps the old file's permission bits (and owner, where the
// process may set it); a new file gets 0666 less the umask. A symbolic link is
// followed, so the file it points to is replaced and the link stays.
//
// Anything that is not a regular file (a character device, a FIFO) is written
// in place, and so is a file in a directory that does not let us create the
// temporary file but whose target we may write.
#pragma once

#include <sys/types.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "driver/console.h"

namespace tarlek {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // discards an uncommitted file
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // False when the file may not be written or cannot be created.
  bool Open(const char* path);
  // Buffered; a failure is remembered and reported by Commit.
  void Write(const void* data, size_t size);
  // Writes out what is pending and puts the file in place. False on any
  // failure since Open; the old file is then untouched.
  bool Commit();

 private:
  bool OpenInPlace(const char* path);
  bool CreateTemporary(mode_t mode);
  bool Flush();
  void Discard();

  int fd_ = -1;
  bool failed_ = false;
  bool in_place_ = false;
  size_t used_ = 0;
  char target_[PATH_MAX] = {};          // the file that the rename replaces
  char temporary_[PATH_MAX + 16] = {};  // empty when writing in place
  uint8_t buffer_[65536];
};

// The whole life of one output file: open it, let fill write the contents,
// put it in place. Any failure gives one line, "ERROR - <kind> output file
// <name> cannot be written !", and false.
template <typename Fill>
bool WriteOutputFile(Console& console, std::string_view kind, const char* name, Fill fill) {
  OutputFile file;
  bool ok = file.Open(name);
  if (ok) {
    fill(file);
    ok = file.Commit();
  }
  if (!ok) {
    console.Write("ERROR - ");
    console.Write(kind);
    console.Write(" output file ");
    console.Write(name);
    console.WriteLine(" cannot be written !");
  }
  return ok;
}

}  // namespace tarlek
