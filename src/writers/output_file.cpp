#include "writers/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarlek {
namespace {

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

}  // namespace

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Open(const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0) {
    struct stat link;
    if (errno != ENOENT || ::lstat(path, &link) == 0) {
      // Not reachable, or a link to nothing: let the plain open decide.
      return OpenInPlace(path);
    }
    if (!CopyPath(target_, sizeof target_, path)) return false;
    return CreateTemporary(0666 & ~CurrentUmask()) || OpenInPlace(path);
  }
  if (!S_ISREG(st.st_mode)) return OpenInPlace(path);  // device, FIFO, directory

  // The rename must not get round the file's own permissions: open it for
  // writing first, without truncating it, exactly as an in-place write would.
  const int probe = ::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (probe < 0) return false;
  ::close(probe);

  if (::realpath(path, target_) == nullptr) return OpenInPlace(path);
  if (!CreateTemporary(st.st_mode & 07777)) return OpenInPlace(path);
  // Keep the owner too; only a privileged process can, and failing is fine.
  if (::fchown(fd_, st.st_uid, st.st_gid) != 0) {
  }
  return true;
}

bool OutputFile::OpenInPlace(const char* path) {
  fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
  in_place_ = fd_ >= 0;
  return in_place_;
}

bool OutputFile::CreateTemporary(mode_t mode) {
  // A hidden name beside the target: the same directory, so the rename stays
  // on one file system; mkstemp makes the name unpredictable and creates the
  // file exclusively.
  const char* slash = std::strrchr(target_, '/');
  const int dir_length = slash == nullptr ? 0 : static_cast<int>(slash - target_ + 1);
  const char* base = target_ + dir_length;
  const int n =
      std::snprintf(temporary_, sizeof temporary_, "%.*s.%s.XXXXXX", dir_length, target_, base);
  if (n < 0 || static_cast<size_t>(n) >= sizeof temporary_) {
    temporary_[0] = '\0';
    return false;
  }
  fd_ = ::mkostemp(temporary_, O_CLOEXEC);
  if (fd_ < 0) {
    temporary_[0] = '\0';
    return false;
  }
  if (::fchmod(fd_, mode) != 0) {
    Discard();
    return false;
  }
  return true;
}

void OutputFile::Write(const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
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
  size_t done = 0;
  while (done < used_ && !failed_) {
    const ssize_t n = ::write(fd_, buffer_ + done, used_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      failed_ = true;
    else
      done += static_cast<size_t>(n);
  }
  used_ = 0;
  return !failed_;
}

bool OutputFile::Commit() {
  if (fd_ < 0) return false;
  bool ok = Flush();
  // Make the new contents durable before they replace the old file.
  if (ok && !in_place_) ok = ::fsync(fd_) == 0;
  if (::close(fd_) != 0) ok = false;
  fd_ = -1;
  if (ok && !in_place_) ok = ::rename(temporary_, target_) == 0;
  if (ok) temporary_[0] = '\0';
  Discard();
  return ok;
}

void OutputFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (temporary_[0] != '\0') ::unlink(temporary_);
  temporary_[0] = '\0';
}

}  // namespace tarlek
