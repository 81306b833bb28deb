#include "mon/terminal.h"

#include <unistd.h>

#include "base/console.h"
#include "mon/cli.h"

namespace tarlek::mon {

Terminal Terminal::Decide(const Invocation& invocation, int out_fd, int err_fd) {
  Terminal t;
  const bool plain = invocation.json || invocation.raw;
  t.colour = !plain && Console::WantsColour(out_fd);
  t.redraw = !plain && ::isatty(out_fd) != 0;
  t.progress = !invocation.json && !invocation.quiet && ::isatty(err_fd) != 0;
  return t;
}

}  // namespace tarlek::mon
