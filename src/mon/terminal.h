// The one place that decides how output looks: whether standard output and
// standard error are terminals, whether colour is sent, whether watch redraws
// in place and dump shows a progress bar.
#pragma once

namespace tarlek::mon {

struct Invocation;

struct Terminal {
  bool colour = false;    // SGR sequences on standard output
  bool redraw = false;    // watch redraws its lines in place
  bool progress = false;  // progress bar on standard error
  // The program's control bytes shown visibly: where its output goes (standard
  // output for console, standard error otherwise) is a terminal, and
  // --raw-output was not given.
  bool visible_output = false;

  // From the descriptors' kinds, NO_COLOR and TERM, and the options (--json
  // and --quiet turn the decorations off).
  static Terminal Decide(const Invocation& invocation, int out_fd, int err_fd);
};

}  // namespace tarlek::mon
