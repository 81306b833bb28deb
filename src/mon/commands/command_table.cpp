#include "mon/commands/command_table.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cmath>

#include "mon/commands/commands.h"
#include "mon/commands/invocation.h"

namespace tarlek::mon {

std::function<std::string(std::string&)> SecondsCheck(double most) {
  return [most](std::string& text) -> std::string {
    double seconds = 0;
    if (CLI::detail::lexical_cast(text, seconds) && seconds >= 0 &&
        (most > 0 ? seconds <= most : std::isfinite(seconds))) {
      return {};
    }
    return most > 0 ? fmt::format("{} is not a number of seconds from 0 to {}", text, most)
                    : fmt::format("{} is not a number of seconds (0 or more)", text);
  };
}

namespace {

// The operands of the commands that sample variables (watch, plot): at most
// most of them.
void AddSampledOperands(CLI::App& command, Invocation& inv, int most) {
  command.add_option("operands", inv.operands, "NAME[:COUNT] [COUNT], SPACE ADDR [COUNT]...")
      ->required()
      ->expected(1, most);
}

// --seconds, for the commands that otherwise run until Ctrl-C.
void AddSeconds(CLI::App& command, Invocation& inv) {
  command.add_option("--seconds", inv.seconds, "Stop after this many seconds (default: at Ctrl-C)")
      ->check(CLI::Validator(SecondsCheck(0), "SECONDS"));
}

// Adding a command: its function (commands.h), and one entry here (see
// command_table.h).
// Options bind to Invocation's fields, whose initialisers are the defaults
// that the help texts show.
const CommandEntry kCommands[] = {
    {"identify", "Show the resident's version, page, clock, baud and commands", nullptr, nullptr,
     DoIdentify},
    {"read",
     "Read memory: SPACE ADDR [COUNT] (SPACE: code, iram, sfr, xram; COUNT default 10h), or a "
     "variable: NAME (its type's size and value with -m FILE.cdb), NAME COUNT, NAME:COUNT",
     [](CLI::App& command, Invocation& inv) {
       command.add_option("operands", inv.operands, "SPACE ADDR [COUNT], or NAME [COUNT]")
           ->required()
           ->expected(1, 3);
       command.add_option("-o,--output", inv.output_path,
                          "Write the bytes to a file: Intel HEX, or raw for a .bin name");
       command.add_flag("--raw", inv.raw, "Write the raw bytes to standard output");
       command.add_flag("--hex", inv.hex, "Typed integers in hexadecimal");
     },
     PlanRead, DoRead},
    {"write",
     "Write memory and read it back: SPACE ADDR BYTE... (SPACE: iram, sfr, xram), NAME VALUE "
     "(typed, with -m FILE.cdb; a bit by read-modify-write of its byte), NAME:COUNT BYTE...",
     [](CLI::App& command, Invocation& inv) {
       command.add_option("operands", inv.operands, "SPACE ADDR BYTE..., NAME VALUE, NAME BYTE...")
           ->required()
           ->expected(2, 1 << 16);
       command.add_flag("--no-check", inv.no_check,
                        "Write without reading back (for values the program changes): the exit "
                        "status then says only that the resident took the write");
       command.add_flag("--hex", inv.hex, "Show typed integers in hexadecimal");
     },
     PlanWrite, DoWrite},
    {"watch",
     "Show variables while the program runs: NAME... (typed with -m FILE.cdb), NAME:COUNT, "
     "SPACE ADDR [COUNT]; a table on a terminal, a line per change when piped",
     [](CLI::App& command, Invocation& inv) {
       const Invocation defaults;
       AddSampledOperands(command, inv, 256);
       command
           .add_option("-i,--interval", inv.interval,
                       fmt::format("Seconds between samples (default {}; 0: as fast as the line "
                                   "allows)",
                                   defaults.interval))
           ->check(CLI::Validator(SecondsCheck(3600), "SECONDS"));
       AddSeconds(command, inv);
       command.add_flag("--hex", inv.hex, "Typed integers in hexadecimal");
       command.add_option("--csv", inv.csv_path,
                          "Log every sample to FILE as CSV (a time column, then one per name), "
                          "flushed line by line");
     },
     PlanWatch, DoWatch},
    {"dump", "Read code memory into FILE.hex or FILE.bin",
     [](CLI::App& command, Invocation& inv) {
       command.add_option("file", inv.file, "FILE.hex or FILE.bin")->required();
       command.add_option("-r,--range", inv.range, "Inclusive range A-B (default 0-FFFF)");
     },
     PlanDump, DoDump},
    {"verify", "Compare code memory with the addresses FILE.hex or FILE.bin holds",
     [](CLI::App& command, Invocation& inv) {
       command.add_option("file", inv.file, "FILE.hex or FILE.bin")->required();
     },
     PlanVerify, DoVerify},
    {"console", "Show the program's own output as it comes",
     [](CLI::App& command, Invocation& inv) { AddSeconds(command, inv); }, nullptr, DoConsole,
     true},
    {"plot",
     "Plot variables in a local web page while the program runs: NAME... (typed with -m "
     "FILE.cdb), NAME:COUNT, SPACE ADDR [COUNT]",
     [](CLI::App& command, Invocation& inv) {
       const Invocation defaults;
       AddSampledOperands(command, inv, 64);
       command.add_option("--listen", inv.listen,
                          "HOST:PORT the page is served on (default 127.0.0.1 and a free port)");
       command
           .add_option("-i,--interval", inv.plot_interval,
                       fmt::format("Seconds between samples (default {})", defaults.plot_interval))
           ->check(CLI::Range(0.0, 3600.0));
       AddSeconds(command, inv);
     },
     PlanWatch, DoPlot},
};

}  // namespace

std::span<const CommandEntry> Commands() { return kCommands; }

const CommandEntry* FindCommand(std::string_view name) {
  for (const CommandEntry& entry : kCommands) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

}  // namespace tarlek::mon
