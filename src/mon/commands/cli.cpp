#include "mon/commands/cli.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <sstream>

#include "base/failure.h"
#include "base/version.h"
#include "mon/commands/command_table.h"
#include "mon/line/port.h"

namespace tarlek::mon {

ParseResult ParseArguments(const std::vector<std::string>& args, const char* env_port) {
  Invocation inv;
  CLI::App app{
      "tarlek-mon: looks into a running 8051 program through the Tarlek resident, over one serial "
      "line.\nAddresses, counts and bytes are hexadecimal: 8000h, 0x8000 and 8000 are the same.",
      "tarlek-mon"};
  app.set_version_flag("--version", std::string("tarlek-mon ") + kVersion);
  app.require_subcommand(1);
  app.fallthrough();
  app.add_option("-p,--port", inv.port,
                 "Serial device (/dev/ttyUSB0) or the simulator's FIFOs fifo:RX,TX; default: "
                 "$TARLEK_PORT");
  const Invocation defaults;
  app.add_option("-b,--baud", inv.baud,
                 fmt::format("Baud rate (default {}, the resident's default)", defaults.baud))
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            uint32_t baud = 0;
            if (CLI::detail::lexical_cast(text, baud) && baud >= kLowestBaud &&
                baud <= kHighestBaud) {
              return {};
            }
            return fmt::format("{} is not a baud rate from {} to {}", text, kLowestBaud,
                               kHighestBaud);
          },
          "BAUD"));
  app.add_flag("--json", inv.json, "JSON output (JSON Lines for watch and console)");
  app.add_flag("-q,--quiet", inv.quiet, "Drop the program's own output instead of showing it");
  app.add_flag("--raw-output", inv.raw_output,
               "The program's own output byte for byte on a terminal too (by default control "
               "bytes are shown there as ^X or \\xNN)");
  app.add_option("-m,--map", inv.map_path, "SDCC linker map (.map): addresses may be symbol names");
  app.add_option(
         "--retries", inv.retries,
         fmt::format("Further attempts after an exchange fails (default {})", defaults.retries))
      ->check(CLI::Range(0, 20));
  app.add_option("--slack", inv.slack,
                 fmt::format("Seconds an answer may take beyond its line time (default {}); more "
                             "for a slow link or a simulator on a busy machine",
                             defaults.slack))
      ->check(CLI::Validator(SecondsCheck(60), "SECONDS"));

  std::vector<std::pair<CLI::App*, const CommandEntry*>> commands;
  for (const CommandEntry& entry : Commands()) {
    CLI::App* command = app.add_subcommand(entry.name, entry.help);
    if (entry.options != nullptr) entry.options(*command, inv);
    commands.emplace_back(command, &entry);
  }

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(std::move(reversed));
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int status = app.exit(e, out, err);
    if (status == 0) return ParseExit{0, out.str()};
    return ParseExit{kExitUsage, err.str()};
  }
  for (const auto& [command, entry] : commands) {
    if (command->parsed()) inv.command = entry->name;
  }
  auto usage = [](const std::string& message) {
    return ParseExit{kExitUsage,
                     "tarlek-mon: " + message + "\nRun with --help for more information.\n"};
  };
  if (inv.port.empty() && env_port != nullptr) inv.port = env_port;
  if (inv.port.empty()) return usage("no port: give --port DEVICE or set TARLEK_PORT");
  if (inv.raw && !inv.output_path.empty()) return usage("--raw and --output exclude each other");
  if (inv.raw && inv.json) return usage("--raw and --json exclude each other");
  return inv;
}

}  // namespace tarlek::mon
