#include "mon/support/session.h"

#include <gtest/gtest.h>

#include "base/failure.h"
#include "mon/commands/run.h"
#include "mon/output/io.h"

namespace tarlek::testing {

using mon::Io;

mon::Invocation Parsed(const std::vector<std::string>& args, const char* env_port) {
  const mon::ParseResult result = mon::ParseArguments(args, env_port);
  if (const auto* exit = std::get_if<mon::ParseExit>(&result)) {
    ADD_FAILURE() << "parse ended with " << exit->status << ": " << exit->text;
    return {};
  }
  return std::get<mon::Invocation>(result);
}

Session::Session(int version) : FakeLine({.version = version, .largest_payload = 64}) {}

int Session::Run(std::vector<std::string> args, mon::Terminal terminal) {
  args.insert(args.begin(), {"-p", "socketpair", "-b", "115200"});
  Io io;
  io.terminal = terminal;
  io.out = [this](std::string_view t) {
    out += t;
    both += t;
  };
  io.err = [this](std::string_view t) {
    err += t;
    both += t;
    err_writes.emplace_back(t);
  };
  resident->Start();
  try {
    const int status = mon::Execute(mon::MakePlan(Parsed(args)), *port, io);
    resident->Stop();
    return status;
  } catch (const Failure& f) {
    resident->Stop();
    err += f.what();
    return f.status();
  }
}

}  // namespace tarlek::testing
