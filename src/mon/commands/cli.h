// The command line of tarlek-mon turned into what to do, apart from doing it.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "mon/commands/invocation.h"

namespace tarlek::mon {

// What the parser decided instead of a run: help or version text (status 0,
// standard output) or a usage error (status 2, standard error).
struct ParseExit {
  int status = 0;
  std::string text;
};

using ParseResult = std::variant<Invocation, ParseExit>;

// args without the program name; env_port is TARLEK_PORT (null when unset).
ParseResult ParseArguments(const std::vector<std::string>& args, const char* env_port);

}  // namespace tarlek::mon
