// The exit statuses of the tools. The merge tool ends with the first three
// only; tarlek-mon and tarlek-sim give all that apply to them.
#pragma once

namespace tarlek {

enum ExitStatus : int {
  kExitOk = 0,
  kExitFailure = 1,       // the run failed and said why (an error line, no answer, a port problem)
  kExitUsage = 2,         // the command line was wrong: the usage text or a usage message was shown
  kExitDifferent = 3,     // tarlek-mon verify found differences
  kExitInterrupted = 130  // Ctrl-C, as shells report SIGINT
};

}  // namespace tarlek
