// The command line: the port from the option or the environment, the rates
// and seconds taken, and what ends a run with a usage error (status 2).
#include "mon/commands/cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/failure.h"
#include "mon/support/session.h"

namespace tarlek::mon {
namespace {

using testing::Parsed;

TEST(CommandLine, PortFromTheOptionOrTheEnvironment) {
  EXPECT_EQ(Parsed({"identify"}, "/dev/ttyS9").port, "/dev/ttyS9");
  EXPECT_EQ(Parsed({"--port", "/dev/ttyUSB0", "identify"}, "/dev/ttyS9").port, "/dev/ttyUSB0");
  // Global options may follow the command too.
  const Invocation inv = Parsed({"read", "code", "8000h", "20", "-p", "fifo:a,b", "--json"});
  EXPECT_EQ(inv.port, "fifo:a,b");
  EXPECT_TRUE(inv.json);
  EXPECT_EQ(inv.command, "read");
  EXPECT_EQ(inv.operands, (std::vector<std::string>{"code", "8000h", "20"}));
  EXPECT_EQ(inv.baud, 9600u);
}

TEST(CommandLine, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"identify"},  // no port anywhere
      {"-p", "x", "--baud", "12", "identify"},
      {"-p", "x", "--baud", "4000001", "identify"},
      {"-p", "x", "read"},
      {"-p", "x", "read", "code", "0", "1", "2"},
      {"-p", "x", "read", "code", "0", "--raw", "-o", "f.hex"},
      {"-p", "x", "dump"},
      {"-p", "x", "--slack", "-1", "identify"},
  };
  for (const auto& args : bad) {
    const ParseResult result = ParseArguments(args, nullptr);
    const auto* exit = std::get_if<ParseExit>(&result);
    ASSERT_NE(exit, nullptr) << ::testing::PrintToString(args);
    EXPECT_EQ(exit->status, kExitUsage) << ::testing::PrintToString(args);
  }
  const ParseResult help = ParseArguments({"watch", "--help"}, nullptr);
  ASSERT_TRUE(std::holds_alternative<ParseExit>(help));
  EXPECT_EQ(std::get<ParseExit>(help).status, 0);
  EXPECT_NE(std::get<ParseExit>(help).text.find("--interval"), std::string::npos);
}

// Any rate a resident can be built for is taken; a value out of range is
// refused in one line that says what is allowed.
TEST(CommandLine, RatesAndSecondsOutOfRange) {
  for (const char* baud : {"31250", "28800", "14400", "50", "4000000"}) {
    EXPECT_EQ(Parsed({"-p", "fifo:a,b", "-b", baud, "identify"}).baud,
              static_cast<uint32_t>(std::stoul(baud)));
  }
  const struct {
    std::vector<std::string> args;
    const char* first_line;
  } bad[] = {
      {{"-b", "12", "identify"}, "--baud: 12 is not a baud rate from 50 to 4000000"},
      {{"watch", "--seconds", "-1", "iram", "0"},
       "--seconds: -1 is not a number of seconds (0 or more)"},
      {{"console", "--seconds", "inf"}, "--seconds: inf is not a number of seconds (0 or more)"},
      {{"--slack", "61", "identify"}, "--slack: 61 is not a number of seconds from 0 to 60"},
      {{"watch", "-i", "-0.5", "iram", "0"},
       "--interval: -0.5 is not a number of seconds from 0 to 3600"},
  };
  for (const auto& b : bad) {
    std::vector<std::string> args = {"-p", "x"};
    args.insert(args.end(), b.args.begin(), b.args.end());
    const ParseResult result = ParseArguments(args, nullptr);
    const auto* exit = std::get_if<ParseExit>(&result);
    ASSERT_NE(exit, nullptr) << b.first_line;
    EXPECT_EQ(exit->status, kExitUsage);
    EXPECT_EQ(exit->text.substr(0, exit->text.find('\n')), b.first_line);
  }
}

}  // namespace
}  // namespace tarlek::mon
