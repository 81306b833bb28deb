#include "mon/support/session.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <optional>

#include "base/failure.h"
#include "mon/commands/run.h"
#include "mon/output/io.h"
#include "support/test_support.h"

namespace tarlek::testing {

namespace {

// The child's report of its run: its status, then each text as its length
// and its bytes.
void Put(std::string& report, const std::string& text) {
  report += fmt::format("{}\n", text.size());
  report += text;
}

std::string Take(const std::string& report, size_t& at) {
  const size_t end = report.find('\n', at);
  if (end == std::string::npos) {
    at = report.size();
    return {};
  }
  const size_t length = std::stoul(report.substr(at, end - at));
  at = end + 1 + length;
  return report.substr(end + 1, length);
}

void WriteAll(int fd, const std::string& text) {
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
    if (n <= 0) return;
    at += static_cast<size_t>(n);
  }
}

}  // namespace

mon::Invocation Parsed(const std::vector<std::string>& args, const char* env_port) {
  const mon::ParseResult result = mon::ParseArguments(args, env_port);
  if (const auto* exit = std::get_if<mon::ParseExit>(&result)) {
    ADD_FAILURE() << "parse ended with " << exit->status << ": " << exit->text;
    return {};
  }
  return std::get<mon::Invocation>(result);
}

Session::Session(int version) : FakeLine({.version = version, .largest_payload = 64}) {}

std::vector<std::string> Session::CommandLine(std::vector<std::string> args) const {
  args.insert(args.begin(), {"-p", "socketpair", "-b", "115200"});
  if (std::find(args.begin(), args.end(), "--slack") == args.end()) {
    args.insert(args.begin(),
                {"--slack", std::to_string(std::chrono::duration<double>(kPatientSlack).count())});
  }
  return args;
}

mon::Io Session::Streams(mon::Terminal terminal) {
  mon::Io io;
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
  return io;
}

int Session::Run(std::vector<std::string> args, mon::Terminal terminal) {
  args = CommandLine(std::move(args));
  mon::Io io = Streams(terminal);
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

int Session::RunUntilInterrupted(std::vector<std::string> args, uint8_t command, size_t requests,
                                 mon::Terminal terminal) {
  args = CommandLine(std::move(args));
  std::optional<mon::Plan> plan;
  try {
    plan.emplace(mon::MakePlan(Parsed(args)));
  } catch (const Failure& f) {
    err += f.what();
    return f.status();
  }
  // The child's report back, and the parent's word that the key is pressed.
  int report_fds[2], press_fds[2];
  if (::pipe2(report_fds, O_CLOEXEC) != 0 || ::pipe2(press_fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return -1;
  }
  resident->Start();
  const pid_t child = ::fork();
  if (child == 0) {
    // The run, as the tool's main has it; then its report, and no return
    // into the test (nor into the parent's fake resident, whose thread is
    // not in this process).
    ::close(report_fds[0]);
    ::close(press_fds[1]);
    mon::InstallInterruptHandlers();
    mon::Io io = Streams(terminal);
    io.out = [this, press = press_fds[0], pressed = false](std::string_view t) mutable {
      out += t;
      both += t;
      pollfd p{press, POLLIN, 0};
      if (!pressed && ::poll(&p, 1, 0) > 0) {
        pressed = true;
        ::kill(::getpid(), SIGINT);
      }
    };
    int status = 0;
    try {
      status = mon::Execute(*plan, *port, io);
    } catch (const Failure& f) {
      err += f.what();
      status = f.status();
    }
    std::string report = fmt::format("{}\n", status);
    for (const std::string* text : {&out, &err, &both}) Put(report, *text);
    for (const std::string& write : err_writes) Put(report, write);
    WriteAll(report_fds[1], report);
    ::_exit(0);
  }
  ::close(report_fds[1]);
  ::close(press_fds[0]);
  const bool taken = child > 0 && resident->WaitForRequests(requests, command);
  WriteAll(press_fds[1], "!");
  const std::string report = Drain(report_fds[0]);
  ::close(report_fds[0]);
  ::close(press_fds[1]);
  int wait_status = 0;
  if (child > 0) ::waitpid(child, &wait_status, 0);
  resident->Stop();
  EXPECT_TRUE(taken) << "the run sent fewer than " << requests << " requests of command "
                     << int{command};
  const size_t line_end = report.find('\n');
  if (child <= 0 || line_end == std::string::npos) {
    ADD_FAILURE() << "the run in a child process did not report";
    return -1;
  }
  size_t at = line_end + 1;
  for (std::string* text : {&out, &err, &both}) *text = Take(report, at);
  while (at < report.size()) err_writes.push_back(Take(report, at));
  return std::stoi(report.substr(0, line_end));
}

}  // namespace tarlek::testing
