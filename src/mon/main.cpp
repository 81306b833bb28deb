// tarlek-mon: the host side of the Tarlek resident's serial protocol.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/failure.h"
#include "base/standard_streams.h"
#include "base/write_fully.h"
#include "mon/commands/cli.h"
#include "mon/commands/command_table.h"
#include "mon/commands/run.h"
#include "mon/line/port.h"

namespace {

std::string CannotWriteOutput(int error) {
  return std::string("cannot write standard output: ") + std::strerror(error);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarlek;
  using namespace tarlek::mon;
  tarlek::HoldClosedStandardStreams();
  // The first failure of standard output (errno), after which nothing more
  // is written there.
  int out_error = 0;
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParseResult parsed = ParseArguments(args, std::getenv("TARLEK_PORT"));
    if (const auto* exit = std::get_if<ParseExit>(&parsed)) {
      if (exit->status != 0) {
        WriteFully(STDERR_FILENO, exit->text);
        return exit->status;
      }
      if (WriteFully(STDOUT_FILENO, exit->text)) return exit->status;
      WriteFully(STDERR_FILENO, "tarlek-mon: " + CannotWriteOutput(errno) + "\n");
      return kExitFailure;
    }
    const Invocation& invocation = std::get<Invocation>(parsed);
    InstallInterruptHandlers();
    Io io;
    // Output nobody can read ends the command: the failure is its message.
    io.out = [&out_error](std::string_view text) {
      if (out_error != 0) return;
      if (WriteFully(STDOUT_FILENO, text)) return;
      out_error = errno;
      throw Failure(kExitFailure, CannotWriteOutput(out_error));
    };
    io.err = [](std::string_view text) { WriteFully(STDERR_FILENO, text); };
    const CommandEntry* entry = FindCommand(invocation.command);
    Terminal::Wishes wishes;
    wishes.json = invocation.json;
    wishes.quiet = invocation.quiet;
    wishes.raw = invocation.raw;
    wishes.raw_output = invocation.raw_output;
    wishes.program_output_is_output = entry != nullptr && entry->program_output_is_output;
    io.terminal = Terminal::Decide(wishes, STDOUT_FILENO, STDERR_FILENO);
    const int status = Run(invocation, io);
    // A failure of standard output that came while the command ended anyway.
    if (status == kExitOk && out_error != 0) {
      WriteFully(STDERR_FILENO, "tarlek-mon: " + CannotWriteOutput(out_error) + "\n");
      return kExitFailure;
    }
    return status;
  } catch (const std::exception& e) {
    // Run reports its own failures; this is the last word on anything else
    // (out of memory, say), still in one line.
    WriteFully(STDERR_FILENO, std::string("tarlek-mon: ") + e.what() + "\n");
    return kExitFailure;
  }
}
