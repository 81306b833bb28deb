// The tarlek-mon executable, started as a user starts it.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.h"

namespace tarlek::testing {

inline ProcessOptions MonProcess() {
  ProcessOptions options;
  options.exe = TARLEK_MON_EXE;
  return options;
}

inline RunResult RunMon(const std::string& cwd, const std::vector<std::string>& args) {
  return RunTarlekProcess(cwd, args, MonProcess());
}

}  // namespace tarlek::testing
