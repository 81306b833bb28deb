// An output file that never costs the user the file it replaces.
//
// A regular file is written to a new temporary file beside it and renamed over
// it only once every byte has been written, flushed to disk and closed without
// error; on any failure, or when the object goes away uncommitted, the
// temporary file is removed and the old file is left as it was. SIGINT,
// SIGTERM and SIGHUP, while they would end the process, first remove the
// temporary file. The replacement is a new file under the old name: it keeps
// the old file's permission bits (and owner, where the process may set it),
// while other hard links to the old file keep the old contents. A new file
// gets 0666 less the umask. A symbolic link is followed, so the file it points
// to is replaced and the link stays. A file that the user may not write is
// refused, even where the directory would let a rename replace it.
//
// Anything that is not a regular file (a character device, a FIFO) is written
// in place, and so is a file whose directory does not let us create the
// temporary file or replace the file, but which we may write. A regular file
// written in place is locked (flock, exclusive) for the whole write, so that
// two writers never mix their contents, and the whole new length is reserved
// before its first byte changes: when the space cannot be had, the old file
// is left as it was. A write that fails later still leaves it part old, part
// new.
//
// A reader going away (SIGPIPE) or a file size limit (SIGXFSZ) is a failed
// write, reported and cleaned up, only where the process ignores those
// signals; the tool's main makes it so.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/console.h"
#include "base/stop_signals.h"

namespace tarlek {

// Makes the process ignore SIGPIPE and SIGXFSZ, so that a reader of the
// output going away or a file size limit shows up as a failed write, which is
// reported and cleaned up, instead of ending the process half way. For the
// whole process: a tool's main calls it before the run.
void IgnoreWriteSignals();

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // discards an uncommitted file
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // False when the file may not be written or cannot be created, or, in
  // place, when size bytes (the whole new contents) cannot be reserved.
  bool Open(const char* path, size_t size);
  // Buffered; a failure is remembered and reported by Commit.
  void Write(const void* data, size_t size);
  // A log that grows while a run goes on (tarlek-mon watch --csv): written in
  // place from its start (what the file held is dropped), no temporary file,
  // so that what Flush has passed on stays in the file however the run ends.
  // The same refusals as Open: a file the user may not write, a directory.
  bool OpenLog(const char* path);
  // Writes out what is pending; false after any failure since Open.
  bool Flush();
  // Writes out what is pending and puts the file in place. False on any
  // failure since Open; a replaced file is then untouched, a file written in
  // place may hold part of the new contents.
  bool Commit();

 private:
  bool OpenInPlace(const char* path, int create);
  bool OpenReplacement(const char* path, const struct stat& st);
  bool TakeInPlace(int fd);
  void GuardTemporary();    // stop signals remove temporary_ first
  void ReleaseTemporary();  // temporary_ is gone or renamed: signals as before
  bool CreateTemporary(mode_t mode, const struct stat* owner);
  void WriteAll(const uint8_t* bytes, size_t size);  // unbuffered; remembers a failure
  void Discard();

  int fd_ = -1;
  bool failed_ = false;
  bool in_place_ = false;
  bool regular_ = false;  // fsync applies
  bool refused_ = false;  // the directory would not take the temporary
  size_t size_ = 0;       // the length given to Open
  size_t used_ = 0;
  off_t written_ = 0;                       // bytes handed to the file so far
  bool guarded_[kStopSignals.size()] = {};  // per stop signal: the handler was installed
  char target_[PATH_MAX] = {};              // the file that the rename replaces
  char temporary_[PATH_MAX + 16] = {};      // empty when writing in place
  uint8_t buffer_[65536];
};

// The whole life of one output file: open it for size bytes, let fill write
// the contents, put it in place. Any failure gives one line, "ERROR - <kind> output file
// <name> cannot be written !", and false.
template <typename Fill>
bool WriteOutputFile(Console& console, std::string_view kind, const char* name, size_t size,
                     Fill fill) {
  OutputFile file;
  bool ok = file.Open(name, size);
  if (ok) {
    fill(file);
    ok = file.Commit();
  }
  if (!ok) {
    console.Write("ERROR - ");
    console.Write(kind);
    console.Write(" output file ");
    console.WriteQuoted(name);
    console.WriteLine(" cannot be written !");
  }
  return ok;
}

}  // namespace tarlek
