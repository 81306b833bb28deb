#include "base/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "base/write_fully.h"

namespace tarlek {
namespace {

constexpr size_t kDirectWrite = 4096;

// The temporary file a stop signal removes first; null when there is none.
// One output file is open at a time.
const char* volatile g_temporary = nullptr;

void RemoveTemporaryAndStop(int signal) {
  const int saved_errno = errno;
  const char* temporary = g_temporary;
  if (temporary != nullptr) ::unlink(temporary);
  // Back to the default action; the signal stays blocked until this handler
  // returns, and then ends the process as it would have.
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
  // Should raise fail, the handler can only return.
  static_cast<void>(::raise(signal));
  errno = saved_errno;
}

// Holds the stop signals back for the life of the object, so that a handler
// never sees a temporary file half made or half gone.
class StopSignalsHeld {
 public:
  StopSignalsHeld() {
    const sigset_t stop = StopSignalSet();
    ::sigprocmask(SIG_BLOCK, &stop, &previous_);
  }
  ~StopSignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  StopSignalsHeld(const StopSignalsHeld&) = delete;
  StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

mode_t CurrentUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

bool CopyPath(char* destination, size_t capacity, const char* path) {
  const size_t length = std::strlen(path);
  if (length >= capacity) return false;
  std::memcpy(destination, path, length + 1);
  return true;
}

// The directory that holds path: "." when the path has no "/".
void DirectoryOf(const char* path, char (&dir)[PATH_MAX]) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::strcpy(dir, ".");
    return;
  }
  const size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
  std::memcpy(dir, path, length);
  dir[length] = '\0';
}

// In a directory with the sticky bit (such as a shared scratch directory) only
// the file's owner, the directory's owner or a privileged process may rename
// over a file, whatever the file's own permissions say.
bool StickyDirectoryKeepsFile(const char* target, const struct stat& file) {
  const uid_t me = ::geteuid();
  if (me == 0 || file.st_uid == me) return false;
  char dir[PATH_MAX];
  DirectoryOf(target, dir);
  struct stat st;
  return ::stat(dir, &st) == 0 && (st.st_mode & S_ISVTX) != 0 && st.st_uid != me;
}

// Makes room on disk for a file of size bytes whose first old_size bytes are
// there already, so that writing it cannot run out of space: fallocate, or
// where the file system has none, zeros written past the old end (the bytes
// before it are only overwritten).
bool ReserveRoom(int fd, off_t old_size, off_t size) {
  if (size <= 0) return true;
  int error;
  while ((error = ::fallocate(fd, 0, 0, size) == 0 ? 0 : errno) == EINTR) {
  }
  if (error != EOPNOTSUPP) return error == 0;
  static const uint8_t kZeros[4096] = {};
  for (off_t at = old_size; at < size;) {
    const size_t n = static_cast<size_t>(std::min<off_t>(size - at, off_t{sizeof kZeros}));
    const ssize_t done = ::pwrite(fd, kZeros, n, at);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    at += done;
  }
  return true;
}

}  // namespace

void IgnoreWriteSignals() {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGPIPE, &ignore, nullptr);
  ::sigaction(SIGXFSZ, &ignore, nullptr);
}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Open(const char* path, size_t size) {
  if (path[0] == '\0') return false;  // names no file; the temporary would land in "."
  size_ = size;

  struct stat st;
  if (::stat(path, &st) != 0) {
    struct stat link;
    if (errno != ENOENT || ::lstat(path, &link) == 0) {
      // Not reachable, or a link to nothing: let the plain open decide.
      return OpenInPlace(path, O_CREAT);
    }
    // A new file. A directory that refuses the temporary file refuses this
    // name too.
    if (!CopyPath(target_, sizeof target_, path)) return false;
    return CreateTemporary(0666 & ~CurrentUmask(), nullptr);
  }
  if (!S_ISREG(st.st_mode)) return OpenInPlace(path, 0);  // device, FIFO, directory
  return OpenReplacement(path, st);
}

bool OutputFile::OpenLog(const char* path) {
  if (path[0] == '\0') return false;
  size_ = 0;
  return OpenInPlace(path, O_CREAT | O_TRUNC);
}

bool OutputFile::OpenInPlace(const char* path, int create) {
  const int fd = ::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC | create, 0666);
  return fd >= 0 && TakeInPlace(fd);
}

bool OutputFile::TakeInPlace(int fd) {
  struct stat st;
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular) {
    // Another run writing the same file in place waits here until it is done.
    int locked;
    while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    // The old contents stay until the new ones are sure to fit: they are
    // overwritten, not truncated, and cut to the new length at Commit.
    if (locked != 0 || !ReserveRoom(fd, st.st_size, static_cast<off_t>(size_))) {
      // A reservation that failed half way may have lengthened the file.
      if (locked == 0 && ::ftruncate(fd, st.st_size) != 0) {
      }
      ::close(fd);
      return false;
    }
  }
  fd_ = fd;
  in_place_ = true;
  regular_ = regular;
  return true;
}

bool OutputFile::OpenReplacement(const char* path, const struct stat& st) {
  // The rename must not get round the file's own permissions: open it for
  // writing first, without truncating it, exactly as an in-place write would.
  const int probe = ::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (probe < 0) return false;

  struct stat own;
  bool resolved;
  if (::lstat(path, &own) == 0 && S_ISLNK(own.st_mode))
    resolved = ::realpath(path, target_) != nullptr;  // the link stays, its file is replaced
  else
    resolved = CopyPath(target_, sizeof target_, path);

  bool in_place = !resolved || StickyDirectoryKeepsFile(target_, st);
  if (!in_place) {
    if (CreateTemporary(st.st_mode & 07777, &st)) {
      ::close(probe);
      return true;
    }
    // Only a directory that will not take a new file sends us back to
    // writing in place; any other failure (no space, no inodes) is reported.
    in_place = refused_;
  }
  if (in_place) return TakeInPlace(probe);
  ::close(probe);
  return false;
}

bool OutputFile::CreateTemporary(mode_t mode, const struct stat* owner) {
  // A hidden name beside the target: the same directory, so the rename stays
  // on one file system; mkostemp makes the name unpredictable and creates the
  // file exclusively. As much of the target's name is kept as lets the new
  // name stay within the system's limits.
  const char* slash = std::strrchr(target_, '/');
  const size_t dir_length = slash == nullptr ? 0 : static_cast<size_t>(slash - target_ + 1);
  const char* base = target_ + dir_length;
  constexpr size_t kDecoration = 8;  // the leading "." and ".XXXXXX"
  size_t room = NAME_MAX - kDecoration;
  room = std::min(room, PATH_MAX - 1 > dir_length + kDecoration
                            ? PATH_MAX - 1 - dir_length - kDecoration
                            : size_t{0});
  const size_t base_length = std::min(std::strlen(base), room);
  const int n =
      std::snprintf(temporary_, sizeof temporary_, "%.*s.%.*s.XXXXXX", static_cast<int>(dir_length),
                    target_, static_cast<int>(base_length), base);
  if (n < 0 || static_cast<size_t>(n) >= sizeof temporary_) {
    temporary_[0] = '\0';
    return false;
  }
  {
    const StopSignalsHeld held;
    fd_ = ::mkostemp(temporary_, O_CLOEXEC);
    if (fd_ < 0) {
      refused_ = errno == EACCES || errno == EPERM;
      temporary_[0] = '\0';
      return false;
    }
    GuardTemporary();
  }
  // The owner before the mode: a change of owner clears the set-user-ID and
  // set-group-ID bits. Only a privileged process may give the file away;
  // keeping just the group may still be allowed, and failing is fine.
  if (owner != nullptr && ::fchown(fd_, owner->st_uid, owner->st_gid) != 0 &&
      ::fchown(fd_, static_cast<uid_t>(-1), owner->st_gid) != 0) {
  }
  if (::fchmod(fd_, mode) != 0) {
    Discard();
    return false;
  }
  regular_ = true;
  return true;
}

void OutputFile::Write(const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  // A large block gains nothing from the buffer: it goes straight to the file.
  if (size >= kDirectWrite && Flush()) {
    WriteAll(bytes, size);
    return;
  }
  while (size > 0 && !failed_) {
    if (used_ == sizeof buffer_ && !Flush()) return;
    const size_t room = sizeof buffer_ - used_;
    const size_t n = size < room ? size : room;
    std::memcpy(buffer_ + used_, bytes, n);
    used_ += n;
    bytes += n;
    size -= n;
  }
}

bool OutputFile::Flush() {
  WriteAll(buffer_, used_);
  used_ = 0;
  return !failed_;
}

void OutputFile::WriteAll(const uint8_t* bytes, size_t size) {
  if (failed_) return;
  if (WriteFully(fd_, bytes, size)) {
    written_ += static_cast<off_t>(size);
  } else {
    failed_ = true;
  }
}

bool OutputFile::Commit() {
  if (fd_ < 0) return false;
  bool ok = Flush();
  // In place, the old contents may run on past the new ones.
  if (ok && in_place_ && regular_) ok = ::ftruncate(fd_, written_) == 0;
  // Make the new contents durable before they replace the old file; this is
  // also where a file system that allocates late reports that it is full.
  if (ok && regular_) ok = ::fsync(fd_) == 0;
  if (::close(fd_) != 0) ok = false;
  fd_ = -1;
  if (ok && !in_place_) {
    const StopSignalsHeld held;
    ok = ::rename(temporary_, target_) == 0;
    if (ok) ReleaseTemporary();
  }
  Discard();
  return ok;
}

void OutputFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  const StopSignalsHeld held;
  if (temporary_[0] != '\0') ::unlink(temporary_);
  ReleaseTemporary();
}

void OutputFile::GuardTemporary() {
  g_temporary = temporary_;
  for (size_t i = 0; i < std::size(kStopSignals); ++i) {
    struct sigaction remove = {};
    remove.sa_handler = RemoveTemporaryAndStop;
    sigemptyset(&remove.sa_mask);
    struct sigaction old;
    // Only a signal that would end the process gets the handler: one that is
    // ignored, or handled by the program, stays so.
    guarded_[i] = ::sigaction(kStopSignals[i], nullptr, &old) == 0 &&
                  (old.sa_flags & SA_SIGINFO) == 0 && old.sa_handler == SIG_DFL &&
                  ::sigaction(kStopSignals[i], &remove, nullptr) == 0;
  }
}

void OutputFile::ReleaseTemporary() {
  temporary_[0] = '\0';
  g_temporary = nullptr;
  for (size_t i = 0; i < std::size(kStopSignals); ++i) {
    if (!guarded_[i]) continue;
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(kStopSignals[i], &fallback, nullptr);
    guarded_[i] = false;
  }
}

}  // namespace tarlek
