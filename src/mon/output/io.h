// Where a run's text goes.
#pragma once

#include <functional>
#include <string_view>

#include "mon/output/program_output.h"
#include "mon/output/terminal.h"

namespace tarlek::mon {

struct Io {
  std::function<void(std::string_view)> out;
  std::function<void(std::string_view)> err;
  Terminal terminal;
  // What is kept at the bottom of the terminal (watch's table, the progress
  // line): the program's lines are written above it.
  Footer footer;
  // The program's output during the command (set by Execute).
  ProgramOutput* program_output = nullptr;
};

}  // namespace tarlek::mon
