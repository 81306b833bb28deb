#include "mon/cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <sstream>

#include "mon/failure.h"
#include "mon/port.h"

#ifndef TARLEK_VERSION
#define TARLEK_VERSION "0"
#endif

namespace tarlek::mon {

ParseResult ParseArguments(const std::vector<std::string>& args, const char* env_port) {
  Invocation inv;
  CLI::App app{
      "tarlek-mon: looks into a running 8051 program through the Tarlek resident, over one serial "
      "line.\nAddresses, counts and bytes are hexadecimal: 8000h, 0x8000 and 8000 are the same.",
      "tarlek-mon"};
  app.set_version_flag("--version", std::string("tarlek-mon ") + TARLEK_VERSION);
  app.require_subcommand(1);
  app.fallthrough();
  app.add_option("-p,--port", inv.port,
                 "Serial device (/dev/ttyUSB0) or the simulator's FIFOs fifo:RX,TX; default: "
                 "$TARLEK_PORT");
  app.add_option("-b,--baud", inv.baud, "Baud rate (default 9600, the resident's default)");
  app.add_flag("--json", inv.json, "JSON output (JSON Lines for watch and console)");
  app.add_flag("-q,--quiet", inv.quiet, "Drop the program's own output instead of showing it");
  app.add_flag("--raw-output", inv.raw_output,
               "The program's own output byte for byte on a terminal too (by default control "
               "bytes are shown there as ^X or \\xNN)");
  app.add_option("-m,--map", inv.map_path, "SDCC linker map (.map): addresses may be symbol names");
  app.add_option("--retries", inv.retries, "Further attempts after an exchange fails (default 2)")
      ->check(CLI::Range(0, 20));
  app.add_option("--slack", inv.slack,
                 "Seconds an answer may take beyond its line time (default 0.2); more for a slow "
                 "link or a simulator on a busy machine")
      ->check(CLI::Range(0.0, 60.0));

  auto* identify =
      app.add_subcommand("identify", "Show the resident's version, page, clock, baud and commands");
  auto* read = app.add_subcommand(
      "read", "Read memory: SPACE ADDR [COUNT] (SPACE: code, iram, sfr, xram; COUNT default 10h)");
  read->add_option("operands", inv.operands, "SPACE ADDR [COUNT], or SYMBOL [COUNT]")
      ->required()
      ->expected(1, 3);
  read->add_option("-o,--output", inv.output_path,
                   "Write the bytes to a file: Intel HEX, or raw "
                   "for a .bin name");
  read->add_flag("--raw", inv.raw, "Write the raw bytes to standard output");
  auto* write = app.add_subcommand(
      "write", "Write memory and read it back: SPACE ADDR BYTE... (SPACE: iram, sfr, xram)");
  write->add_option("operands", inv.operands, "SPACE ADDR BYTE..., or SYMBOL BYTE...")
      ->required()
      ->expected(2, 1 << 16);
  write->add_flag("--no-check", inv.no_check,
                  "Write without reading back (for values the program changes): the exit status "
                  "then says only that the resident took the write");
  auto* watch = app.add_subcommand(
      "watch", "Show memory while the program runs: SPACE ADDR COUNT, or SYMBOL[:COUNT]...");
  watch->add_option("operands", inv.operands, "SPACE ADDR COUNT, or symbols")
      ->required()
      ->expected(1, 64);
  watch->add_option("-i,--interval", inv.interval, "Seconds between refreshes (default 0.5)")
      ->check(CLI::Range(0.0, 3600.0));
  watch->add_option("--seconds", inv.seconds, "Stop after this many seconds (default: at Ctrl-C)")
      ->check(CLI::NonNegativeNumber);
  auto* dump = app.add_subcommand("dump", "Read code memory into FILE.hex or FILE.bin");
  dump->add_option("file", inv.file, "FILE.hex or FILE.bin")->required();
  dump->add_option("-r,--range", inv.range, "Inclusive range A-B (default 0-FFFF)");
  auto* verify = app.add_subcommand(
      "verify", "Compare code memory with the addresses FILE.hex or FILE.bin holds");
  verify->add_option("file", inv.file, "FILE.hex or FILE.bin")->required();
  auto* console = app.add_subcommand("console", "Show the program's own output as it comes");
  console->add_option("--seconds", inv.seconds, "Stop after this many seconds (default: at Ctrl-C)")
      ->check(CLI::NonNegativeNumber);

  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(std::move(reversed));
  } catch (const CLI::ParseError& e) {
    std::ostringstream out, err;
    const int status = app.exit(e, out, err);
    if (status == 0) return ParseExit{0, out.str()};
    return ParseExit{kExitUsage, err.str()};
  }
  const std::pair<CLI::App*, CommandName> names[] = {
      {identify, CommandName::kIdentify}, {read, CommandName::kRead},
      {write, CommandName::kWrite},       {watch, CommandName::kWatch},
      {dump, CommandName::kDump},         {verify, CommandName::kVerify},
      {console, CommandName::kConsole},
  };
  for (const auto& [sub, name] : names) {
    if (sub->parsed()) inv.command = name;
  }
  auto usage = [](const std::string& message) {
    return ParseExit{kExitUsage,
                     "tarlek-mon: " + message + "\nRun with --help for more information.\n"};
  };
  if (inv.port.empty() && env_port != nullptr) inv.port = env_port;
  if (inv.port.empty()) return usage("no port: give --port DEVICE or set TARLEK_PORT");
  if (BaudConstant(inv.baud) == 0) {
    return usage("unsupported baud rate " + std::to_string(inv.baud));
  }
  if (inv.raw && !inv.output_path.empty()) return usage("--raw and --output exclude each other");
  if (inv.raw && inv.json) return usage("--raw and --json exclude each other");
  return inv;
}

}  // namespace tarlek::mon
