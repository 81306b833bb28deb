#include "mon/terminal.h"

#include <unistd.h>

#include "base/console.h"
#include "mon/cli.h"
#include "mon/commands.h"

namespace tarlek::mon {

Terminal Terminal::Decide(const Invocation& invocation, int out_fd, int err_fd) {
  Terminal t;
  const bool plain = invocation.json || invocation.raw;
  t.colour = !plain && Console::WantsColour(out_fd);
  t.redraw = !plain && ::isatty(out_fd) != 0;
  t.progress = !invocation.json && !invocation.quiet && ::isatty(err_fd) != 0;
  const CommandEntry* entry = FindCommand(invocation.command);
  const bool to_out = entry != nullptr && entry->program_output_is_output;
  const int output_fd = to_out ? out_fd : err_fd;
  t.visible_output = !invocation.raw_output && ::isatty(output_fd) != 0;
  return t;
}

}  // namespace tarlek::mon
