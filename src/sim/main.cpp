// tarlek-sim: runs a merged program in the s51 simulator for tarlek-mon.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "base/exit_status.h"
#include "base/standard_streams.h"
#include "base/version.h"
#include "base/write_fully.h"
#include "sim/simulator.h"

namespace {

using tarlek::WriteFully;

int Main(int argc, char** argv) {
  // A closed standard output stays closed: the port line fails there rather
  // than going to the first file opened (s51's log).
  tarlek::HoldClosedStandardStreams();
  using tarlek::sim::SimOptions;
  SimOptions options;
  CLI::App app{
      "tarlek-sim: runs a program merged with the Tarlek resident in the s51 simulator, its "
      "serial port on two FIFOs that tarlek-mon opens (the port is printed), until Ctrl-C.",
      "tarlek-sim"};
  app.set_version_flag("--version", std::string("tarlek-sim ") + tarlek::kVersion);
  app.add_option("program", options.program, "The merged program, PROG.hex or PROG.bin")
      ->required();
  app.add_option("--cpu", options.cpu,
                 "s51's CPU model (default: 8051 for a resident on timer 1, 8052 for timer 2)");
  app.add_option("--clock", options.clock_hz,
                 "Crystal in Hz (default: the one the resident was built for)")
      ->check(CLI::Range(1u, 1000000000u));
  app.add_option("--s51", options.s51, "The simulator to run (default: s51 from PATH)");
  app.add_flag("--print-port", options.print_port,
               "Print only the port (fifo:RX,TX) on standard output, for scripts");
  app.add_flag("-q,--quiet", options.quiet, "No line about the run on standard error");
  std::vector<std::string> args;
  for (int i = argc - 1; i > 0; --i) args.emplace_back(argv[i]);
  try {
    app.parse(std::move(args));
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int status = app.exit(e, out, err);
    WriteFully(STDOUT_FILENO, out.str());
    WriteFully(STDERR_FILENO, err.str());
    return status == 0 ? tarlek::kExitOk : tarlek::kExitUsage;
  }
  // A closed standard output is an error to report, not a signal that ends
  // tarlek-sim before it stops s51 and removes the FIFOs.
  static_cast<void>(::signal(SIGPIPE, SIG_IGN));
  tarlek::sim::SimIo io;
  io.out = [](std::string_view text) { return WriteFully(STDOUT_FILENO, text); };
  io.err = [](std::string_view text) { WriteFully(STDERR_FILENO, text); };
  return tarlek::sim::RunSimulator(options, io);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::exception& e) {
    // The last word on anything unforeseen (out of memory, say), in one line.
    WriteFully(STDERR_FILENO, std::string("tarlek-sim: ") + e.what() + "\n");
    return tarlek::kExitFailure;
  }
}
