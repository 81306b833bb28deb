// The one table of tarlek-mon's commands: each command's name, help, operands
// and options, the plan it makes from them and the function that runs it.
//
// To add a command: write its function, int DoX(const Plan&, Link&, Io&),
// in a file of its own in this folder, declare it in commands.h, and add one
// entry to kCommands in command_table.cpp, with its options bound to fields of Invocation (cli.h,
// whose member initialisers are every option's default) and, when it takes operands, a plan
// function that checks them. Nothing else names a command: the command line, --help, the plan and
// the run all come from the table.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace CLI {
class App;
}  // namespace CLI

namespace tarlek::mon {

class Link;
class SymbolTable;
struct Invocation;
struct Io;
struct Plan;

struct CommandEntry {
  const char* name;  // as typed on the command line
  const char* help;  // one line for --help
  // Adds the command's operands and options to its subcommand, bound to the
  // invocation's fields; null when it has none.
  void (*options)(CLI::App& command, Invocation& invocation);
  // Resolves the operands into the plan (the map read already); throws a usage
  // Failure. Null when there is nothing to resolve.
  void (*plan)(const Invocation& invocation, const SymbolTable& symbols, Plan& plan);
  // Runs the command over the link; returns the exit status or throws a
  // Failure.
  int (*run)(const Plan& plan, Link& link, Io& io);
  // The program's own output is the command's output (standard output) rather
  // than a side show on standard error.
  bool program_output_is_output = false;
};

// The check of an option given in seconds, from 0 up to most (no bound above
// when most is 0), for CLI::Validator: the refusal says what is allowed in
// plain figures.
std::function<std::string(std::string&)> SecondsCheck(double most);

std::span<const CommandEntry> Commands();
// The entry of that name; null when there is none.
const CommandEntry* FindCommand(std::string_view name);

}  // namespace tarlek::mon
