#include "mon/support/session.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "base/failure.h"
#include "mon/commands/run.h"
#include "mon/output/io.h"

namespace tarlek::testing {

using mon::Io;
using mon::Port;

mon::Invocation Parsed(const std::vector<std::string>& args, const char* env_port) {
  const mon::ParseResult result = mon::ParseArguments(args, env_port);
  if (const auto* exit = std::get_if<mon::ParseExit>(&result)) {
    ADD_FAILURE() << "parse ended with " << exit->status << ": " << exit->text;
    return {};
  }
  return std::get<mon::Invocation>(result);
}

Session::Session(int version) {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  port = std::make_unique<Port>(Port::FromDescriptors(fds[0], fds[0], "socketpair"));
  resident = std::make_unique<FakeResident>(fds[1], 64, 115200, version);
}

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
