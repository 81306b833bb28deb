// The run, from the command line to the closing line.
#pragma once

#include <climits>
#include <string_view>

#include "base/console.h"
#include "base/exit_status.h"
#include "merge/program_state.h"

namespace tarlek {

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

enum class FileKind { kBin, kHex };

// What a command line asks for, decided before anything is read or printed.
struct Command {
  enum class Action {
    kRun,        // read the input, place the resident, write the output
    kHelp,       // -h or --help alone: banner and usage
    kVersion,    // --version alone: the version line only
    kUsage,      // no argument, or more than two: banner and usage
    kBadInput,   // the input's extension is neither .bin nor .hex
    kBadOption,  // the option is neither /ob nor /oh
  };
  Action action = Action::kUsage;
  FileKind input_kind = FileKind::kBin;   // by the input's extension
  FileKind output_kind = FileKind::kBin;  // by the option, else the input's kind
  const char* input = nullptr;            // argument 1 as typed
  const char* option = nullptr;           // argument 2 as typed; null without one
  // With an option: the input's directory and base name with the option's
  // lower-case extension; empty when that would not fit.
  char option_output[PATH_MAX + 8] = {};

  // The file the run writes: the input itself, or the option's file.
  const char* OutputPath() const { return option != nullptr ? option_output : input; }
};

// Turns the arguments (argv[0] is the program's name) into what to do.
Command ParseCommandLine(int argc, const char* const argv[]);

// One whole run over the arguments (argv[0] is the program's name). Returns
// kExitOk when the closing line was printed, or help or version asked for;
// kExitFailure when an "ERROR - " line was printed; kExitUsage for a wrong
// number of arguments, after the usage text.
int RunTarlek(int argc, const char* const argv[], ProgramState& state, Console& console);

}  // namespace tarlek
