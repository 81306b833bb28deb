// A tarlek-mon command run in this process, as the tool runs it, against the
// fake resident on a fake line: what it printed and its exit status.
#pragma once

#include <string>
#include <vector>

#include "mon/commands/cli.h"
#include "mon/output/terminal.h"
#include "mon/support/fake_line.h"

namespace tarlek::testing {

// The command line as the tool parses it; a parse that ends the run (a usage
// error, --help) fails the test.
mon::Invocation Parsed(const std::vector<std::string>& args, const char* env_port = nullptr);

// A command run against the fake resident (largest payload 64, 115200 baud,
// a socket pair); what it printed.
struct Session : FakeLine {
  std::string out, err;
  // Both streams as a terminal shows them, and every write to standard error.
  std::string both;
  std::vector<std::string> err_writes;
  int exit_status = -1;

  explicit Session(int version = 3);
  int Run(std::vector<std::string> args, mon::Terminal terminal = {});
};

}  // namespace tarlek::testing
