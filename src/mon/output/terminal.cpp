#include "mon/output/terminal.h"

#include <unistd.h>

#include "base/console.h"

namespace tarlek::mon {

Terminal Terminal::Decide(const Wishes& wishes, int out_fd, int err_fd) {
  Terminal t;
  const bool plain = wishes.json || wishes.raw;
  t.colour = !plain && Console::WantsColour(out_fd);
  t.redraw = !plain && ::isatty(out_fd) != 0;
  t.progress = !wishes.json && !wishes.quiet && ::isatty(err_fd) != 0;
  const int output_fd = wishes.program_output_is_output ? out_fd : err_fd;
  t.visible_output = !wishes.raw_output && ::isatty(output_fd) != 0;
  return t;
}

}  // namespace tarlek::mon
