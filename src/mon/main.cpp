// tarlek-mon: the host side of the Tarlek resident's serial protocol.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "base/failure.h"
#include "base/write_fully.h"
#include "mon/commands/cli.h"
#include "mon/commands/command_table.h"
#include "mon/commands/run.h"
#include "mon/line/port.h"

int main(int argc, char** argv) {
  using namespace tarlek;
  using namespace tarlek::mon;
  try {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParseResult parsed = ParseArguments(args, std::getenv("TARLEK_PORT"));
    if (const auto* exit = std::get_if<ParseExit>(&parsed)) {
      WriteFully(exit->status == 0 ? STDOUT_FILENO : STDERR_FILENO, exit->text);
      return exit->status;
    }
    const Invocation& invocation = std::get<Invocation>(parsed);
    InstallInterruptHandlers();
    Io io;
    io.out = [](std::string_view text) { WriteFully(STDOUT_FILENO, text); };
    io.err = [](std::string_view text) { WriteFully(STDERR_FILENO, text); };
    const CommandEntry* entry = FindCommand(invocation.command);
    Terminal::Wishes wishes;
    wishes.json = invocation.json;
    wishes.quiet = invocation.quiet;
    wishes.raw = invocation.raw;
    wishes.raw_output = invocation.raw_output;
    wishes.program_output_is_output = entry != nullptr && entry->program_output_is_output;
    io.terminal = Terminal::Decide(wishes, STDOUT_FILENO, STDERR_FILENO);
    return Run(invocation, io);
  } catch (const std::exception& e) {
    // Run reports its own failures; this is the last word on anything else
    // (out of memory, say), still in one line.
    WriteFully(STDERR_FILENO, std::string("tarlek-mon: ") + e.what() + "\n");
    return kExitFailure;
  }
}
