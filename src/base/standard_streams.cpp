#include "base/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace tarlek {

void HoldClosedStandardStreams() {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // Open for the other direction only: a read of standard input, or a
    // write of standard output or error, fails as on a closed descriptor.
    const int held = ::open("/dev/null", (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_NOCTTY);
    if (held < 0 || held == fd) continue;
    // A lower one was closed too and could not be held: move it into place.
    static_cast<void>(::dup2(held, fd));
    ::close(held);
  }
}

}  // namespace tarlek
