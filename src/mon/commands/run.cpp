#include "mon/commands/run.h"

#include <fmt/format.h>

#include <chrono>
#include <cmath>

#include "base/failure.h"
#include "mon/commands/command_table.h"
#include "mon/line/link.h"
#include "mon/output/format.h"
#include "mon/symbols/load.h"

namespace tarlek::mon {

Plan MakePlan(const Invocation& invocation) {
  const CommandEntry* entry = FindCommand(invocation.command);
  if (entry == nullptr) throw UsageError("there is no command " + invocation.command);
  Plan plan;
  plan.invocation = invocation;
  // The files are read with Ctrl-C ending the run at once: a FIFO or a slow
  // mount may keep a read waiting.
  const DefaultStopSignals stoppable;
  const SymbolTable symbols =
      invocation.map_path.empty() ? SymbolTable() : LoadSymbols(invocation.map_path);
  if (entry->plan != nullptr) entry->plan(invocation, symbols, plan);
  return plan;
}

int Execute(const Plan& plan, Port& port, Io& io) {
  const Invocation& inv = plan.invocation;
  const CommandEntry* entry = FindCommand(inv.command);
  if (entry == nullptr) throw UsageError("there is no command " + inv.command);
  LinkSettings settings;
  settings.baud = inv.baud;
  settings.retries = inv.retries;
  settings.slack = std::chrono::milliseconds(std::lround(inv.slack * 1000));
  ProgramOutput::Settings shown;
  shown.visible = io.terminal.visible_output;
  shown.timestamp = [] { return TimeOfDay(std::chrono::system_clock::now()); };
  const bool console = entry->program_output_is_output;
  if (console)
    shown.mode = inv.json ? ProgramOutput::Mode::kConsoleJson : ProgramOutput::Mode::kConsole;
  ProgramOutput output(shown, console ? io.out : io.err, console ? nullptr : &io.footer);
  if (console || !inv.quiet) {
    settings.output = [&](std::span<const uint8_t> bytes) { output.Feed(bytes, Clock::now()); };
  }
  // A line the program had begun is shown, marked as cut, when the command
  // ends, also when it ends in a failure (before its message).
  struct Finished {
    ProgramOutput& output;
    Io& io;
    bool done = false;
    // The command went well: a failure to show the line is the run's.
    void Now() {
      done = true;
      io.program_output = nullptr;
      output.Finish();
    }
    ~Finished() {
      if (done) return;
      io.program_output = nullptr;
      // The command's own failure is the one to report, not a second one
      // of the output the line goes to.
      try {
        output.Finish();
      } catch (const Failure&) {
      }
    }
  } finished{output, io};
  io.program_output = &output;
  // Whatever waited on the line before this run is old news.
  port.DiscardWaiting();
  Link link(port, settings);
  const int status = entry->run(plan, link, io);
  finished.Now();
  return status;
}

int Run(const Invocation& invocation, Io& io) {
  try {
    const Plan plan = MakePlan(invocation);
    Port port = Port::Open(invocation.port, invocation.baud);
    return Execute(plan, port, io);
  } catch (const Failure& failure) {
    io.err(fmt::format("tarlek-mon: {}\n", failure.what()));
    return failure.status();
  } catch (const std::exception& error) {
    io.err(fmt::format("tarlek-mon: {}\n", error.what()));
    return kExitFailure;
  }
}

}  // namespace tarlek::mon
