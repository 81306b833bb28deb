// The run, from the command line to the closing line.
#pragma once

#include <string_view>

#include "driver/console.h"
#include "image/program_state.h"

namespace tarlek {

enum ExitStatus : int {
  kExitSuccess = 0,  // the closing line was printed, or help or version asked for
  kExitError = 1,    // an "ERROR - " line was printed
  kExitUsage = 2,    // wrong number of arguments: the usage text was printed
};

// An input path cut into directory (through its last '/'), base name and
// extension (from the last '.' after that '/'); the three put together give
// the path again.
struct PathParts {
  std::string_view dir;
  std::string_view name;
  std::string_view ext;
};
PathParts SplitPath(std::string_view path);

// Whether text, with a..z upper-cased and every other byte as it is, is
// exactly upper (which is written in upper case).
bool EqualsUpperCased(std::string_view text, std::string_view upper);

// One whole run over the arguments (argv[0] is the program's name).
int RunTarlek(int argc, const char* const argv[], ProgramState& state, Console& console);

}  // namespace tarlek
