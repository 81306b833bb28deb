// The one place that decides how output looks: whether standard output and
// standard error are terminals, whether colour is sent, whether watch redraws
// in place and dump shows a progress bar.
#pragma once

namespace tarlek::mon {

struct Terminal {
  bool colour = false;    // SGR sequences on standard output
  bool redraw = false;    // watch redraws its lines in place
  bool progress = false;  // progress bar on standard error
  // The program's control bytes shown visibly: where its output goes (standard
  // output for console, standard error otherwise) is a terminal, and
  // --raw-output was not given.
  bool visible_output = false;

  // What the command line asks of the output.
  struct Wishes {
    bool json = false;        // --json
    bool quiet = false;       // --quiet
    bool raw = false;         // read --raw: bytes, not text
    bool raw_output = false;  // --raw-output
    // The program's output is the command's output (console), on standard
    // output rather than standard error.
    bool program_output_is_output = false;
  };
  // From the descriptors' kinds, NO_COLOR and TERM, and the wishes (--json
  // and --quiet turn the decorations off).
  static Terminal Decide(const Wishes& wishes, int out_fd, int err_fd);
};

}  // namespace tarlek::mon
