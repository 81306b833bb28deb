// A tarlek-mon command run as the tool runs it, against the fake resident on
// a fake line: what it printed and its exit status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mon/commands/cli.h"
#include "mon/output/io.h"
#include "mon/output/terminal.h"
#include "mon/support/fake_line.h"

namespace tarlek::testing {

// The command line as the tool parses it; a parse that ends the run (a usage
// error, --help) fails the test.
mon::Invocation Parsed(const std::vector<std::string>& args, const char* env_port = nullptr);

// A command run against the fake resident (largest payload 64, 115200 baud,
// a socket pair); what it printed. Unless the command line gives its own
// --slack, the run has a patient one (kPatientSlack): no answer is lost to a
// busy machine.
struct Session : FakeLine {
  std::string out, err;
  // Both streams as a terminal shows them, and every write to standard error.
  std::string both;
  std::vector<std::string> err_writes;
  int exit_status = -1;

  explicit Session(int version = 3);
  // Runs the command in this process.
  int Run(std::vector<std::string> args, mon::Terminal terminal = {});
  // Runs the command in a child process that takes Ctrl-C as the tool does,
  // and presses Ctrl-C (SIGINT) once the resident has taken `requests`
  // requests of `command`: a run (a watch, say) that the user ends after as
  // many samples as the test needs, however slow the machine. The key is
  // pressed while the command writes its output (to standard output, as a
  // user's may be), so the run ends at its next wait, between two exchanges.
  int RunUntilInterrupted(std::vector<std::string> args, uint8_t command, size_t requests,
                          mon::Terminal terminal = {});

 private:
  std::vector<std::string> CommandLine(std::vector<std::string> args) const;
  mon::Io Streams(mon::Terminal terminal);
};

}  // namespace tarlek::testing
