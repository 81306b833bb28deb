#include "mon/run.h"

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <time.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "base/version.h"
#include "mon/commands.h"
#include "mon/failure.h"
#include "mon/format.h"
#include "mon/image_file.h"
#include "mon/link.h"
#include "mon/program.h"

namespace tarlek::mon {

using nlohmann::json;
using protocol::Bytes;

namespace {

// ---- The plan --------------------------------------------------------------

uint32_t ResolveAddress(const std::string& token, Space space, const Program& symbols) {
  if (const Variable* symbol = symbols.Find(token)) {
    if (symbol->place.space != space) {
      throw UsageError(fmt::format("{} is in {}, not in {}", token, SpaceName(symbol->place.space),
                                   SpaceName(space)));
    }
    return symbol->place.address;
  }
  const auto value = ParseHex(token);
  const SpaceBounds bounds = Bounds(space);
  if (!value) {
    throw UsageError(symbols.empty() ? fmt::format("{} is not a hexadecimal address (for symbol "
                                                   "names give --map FILE.map)",
                                                   token)
                                     : fmt::format("{} is neither a hexadecimal address nor a "
                                                   "symbol of the map",
                                                   token));
  }
  if (*value < bounds.first || *value >= bounds.end) {
    throw UsageError(fmt::format("{} is outside {} ({}-{})", token, SpaceName(space),
                                 FormatAddress(space, bounds.first),
                                 FormatAddress(space, bounds.end - 1)));
  }
  return *value;
}

uint32_t ResolveCount(const std::string& token, const Item& item) {
  const auto value = ParseHex(token);
  if (!value || *value == 0) throw UsageError(token + " is not a count (hexadecimal, above 0)");
  if (item.address + *value > Bounds(item.space).end) {
    throw UsageError(fmt::format("{} bytes from {} run past the end of {}", token,
                                 FormatAddress(item.space, item.address), SpaceName(item.space)));
  }
  return *value;
}

// SPACE ADDR or SYMBOL at operands[at]; returns how many operands it took.
size_t ResolveLocation(const std::vector<std::string>& operands, size_t at, const Program& symbols,
                       Item& item) {
  if (const auto space = ParseSpace(operands[at])) {
    if (at + 1 >= operands.size()) throw UsageError("an address must follow " + operands[at]);
    item.space = *space;
    item.address = ResolveAddress(operands[at + 1], *space, symbols);
    return 2;
  }
  const Variable* symbol = symbols.Find(operands[at]);
  if (symbol == nullptr) {
    throw UsageError(
        symbols.empty()
            ? fmt::format("{} is not a memory space (code, iram, sfr, xram)", operands[at])
            : fmt::format("{} is neither a memory space nor a symbol of the map", operands[at]));
  }
  item.space = symbol->place.space;
  item.address = symbol->place.address;
  item.label = operands[at];
  return 1;
}

void PlanRead(const Invocation& invocation, const Program& symbols, Plan& plan) {
  const auto& ops = invocation.operands;
  Item item;
  const size_t used = ResolveLocation(ops, 0, symbols, item);
  if (ops.size() > used + 1) throw UsageError("read takes SPACE ADDR [COUNT]");
  if (ops.size() == used + 1) {
    item.count = ResolveCount(ops[used], item);
  } else {
    // A symbol is one byte; an address shows a line of 16.
    const uint32_t wanted = item.label.empty() ? 16 : 1;
    item.count = std::min(wanted, Bounds(item.space).end - item.address);
  }
  plan.items.push_back(item);
}

void PlanWrite(const Invocation& invocation, const Program& symbols, Plan& plan) {
  const auto& ops = invocation.operands;
  Item item;
  const size_t used = ResolveLocation(ops, 0, symbols, item);
  if (item.space == Space::kCode) {
    throw UsageError("code memory cannot be written through the resident");
  }
  if (ops.size() <= used) throw UsageError("write wants at least one byte");
  for (size_t i = used; i < ops.size(); ++i) {
    const auto value = ParseHex(ops[i]);
    if (!value || *value > 0xFF) throw UsageError(ops[i] + " is not a byte (00h-FFh)");
    plan.data.push_back(static_cast<uint8_t>(*value));
  }
  item.count = static_cast<uint32_t>(plan.data.size());
  if (item.address + item.count > Bounds(item.space).end) {
    throw UsageError(fmt::format("{} bytes from {} run past the end of {}", item.count,
                                 FormatAddress(item.space, item.address), SpaceName(item.space)));
  }
  // SCON and SBUF carry the resident's own line.
  if (item.space == Space::kSfr && item.address <= 0x99 && item.address + item.count > 0x98) {
    throw UsageError("SCON (98h) and SBUF (99h) carry the serial line: they cannot be written");
  }
  plan.items.push_back(item);
}

void PlanWatch(const Invocation& invocation, const Program& symbols, Plan& plan) {
  const auto& ops = invocation.operands;
  if (ParseSpace(ops[0])) {
    Item item;
    ResolveLocation(ops, 0, symbols, item);
    if (ops.size() > 3) throw UsageError("watch takes SPACE ADDR COUNT, or symbols");
    item.count = ops.size() == 3 ? ResolveCount(ops[2], item) : 1;
    plan.items.push_back(item);
    return;
  }
  for (const std::string& op : ops) {
    Item item;
    const size_t colon = op.find(':');
    const std::vector<std::string> name = {op.substr(0, colon)};
    ResolveLocation(name, 0, symbols, item);
    item.count = colon == std::string::npos ? 1 : ResolveCount(op.substr(colon + 1), item);
    plan.items.push_back(item);
  }
}

void PlanDump(const Invocation& invocation, const Program&, Plan& plan) {
  if (invocation.range.empty()) return;
  const auto range = ParseRange(invocation.range);
  if (!range) {
    throw UsageError(invocation.range + " is not a range A-B of code addresses (A <= B <= FFFF)");
  }
  plan.range = *range;
}

}  // namespace

Plan MakePlan(const Invocation& invocation) {
  const CommandEntry* entry = FindCommand(invocation.command);
  if (entry == nullptr) throw UsageError("there is no command " + invocation.command);
  Plan plan;
  plan.invocation = invocation;
  const Program symbols =
      invocation.map_path.empty() ? Program() : LoadProgram(invocation.map_path);
  if (entry->plan != nullptr) entry->plan(invocation, symbols, plan);
  return plan;
}

namespace {

// ---- Output helpers ----------------------------------------------------------

std::string Timestamp() {
  const auto now = std::chrono::system_clock::now();
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  tm local{};
  localtime_r(&seconds, &local);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  return fmt::format("{:%H:%M:%S}.{:03d}", local, ms);
}

// Bytes as JSON text: each byte one code point U+0000..U+00FF, so nothing is
// lost and the text stays valid UTF-8.
std::string Latin1ToUtf8(std::span<const uint8_t> bytes) {
  std::string out;
  for (uint8_t b : bytes) {
    if (b < 0x80) {
      out += static_cast<char>(b);
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

json ItemJson(const Item& item, const Bytes& bytes) {
  json j = {{"space", SpaceName(item.space)}, {"address", item.address}, {"bytes", bytes}};
  if (!item.label.empty()) j["symbol"] = item.label;
  return j;
}

std::string CommandNames(uint16_t offered) {
  static const char* const kNames[] = {"",           "identify",   "read code",
                                       "read xram",  "write xram", "read iram",
                                       "write iram", "read sfr",   "write sfr"};
  std::string out;
  for (uint8_t c = 1; c <= protocol::kLastCommand; ++c) {
    if (((static_cast<unsigned>(offered) >> c) & 1u) == 0) continue;
    if (!out.empty()) out += ", ";
    out += kNames[c];
  }
  return out;
}

// A progress line on standard error: bytes, rate, time left.
class ProgressBar {
 public:
  ProgressBar(Io& io, size_t total) : io_(io), total_(total), start_(Clock::now()) {}
  void Update(size_t done) {
    if (!io_.terminal.progress) return;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    const double left = rate > 0 ? static_cast<double>(total_ - done) / rate : 0;
    const int width = 30;
    const int filled = static_cast<int>(width * done / std::max<size_t>(total_, 1));
    io_.err(fmt::format("\r[{:<{}}] {}/{} bytes  {:.0f} B/s  {:.0f} s left ",
                        std::string(static_cast<size_t>(filled), '#'), width, done, total_, rate,
                        left));
  }
  void Finish() {
    if (io_.terminal.progress) io_.err("\n");
  }

 private:
  Io& io_;
  size_t total_;
  Clock::time_point start_;
};

// ---- Commands ----------------------------------------------------------------

// Identify, and what the client expects of the answer. Notes go to standard
// error; a protocol it does not speak ends the run.
protocol::IdentifyInfo CheckedIdentify(Link& link, const Plan& plan, Io& io) {
  const auto info = link.Identify();
  if (info.protocol != protocol::kProtocolVersion) {
    throw Failure(kExitFailure,
                  fmt::format("the resident on {} speaks protocol {}; tarlek-mon speaks {}",
                              plan.invocation.port, info.protocol, protocol::kProtocolVersion));
  }
  if (!plan.invocation.quiet && !plan.invocation.json) {
    if (info.baud != plan.invocation.baud && !plan.invocation.port.starts_with("fifo:")) {
      io.err(fmt::format("note: the resident was built for {} baud, the line runs at {}\n",
                         info.baud, plan.invocation.baud));
    }
    if (info.largest_payload < protocol::kSmallestLargestPayload) {
      io.err(fmt::format("note: the resident takes only {} bytes a frame\n", info.largest_payload));
    }
  }
  return info;
}

void RequireCommand(const protocol::IdentifyInfo& info, uint8_t command) {
  if (!info.Offers(command)) {
    throw Failure(kExitFailure, fmt::format("the resident does not offer {}",
                                            CommandNames(static_cast<uint16_t>(1u << command))));
  }
}

int DoIdentify(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  const std::string version = fmt::format("{}.{}.{}", info.major, info.minor, info.patch);
  if (plan.invocation.json) {
    std::vector<std::string> commands;
    json j = {{"protocol", info.protocol},
              {"version", version},
              {"page", info.page},
              {"start", info.page * 256},
              {"clock_hz", info.clock_hz},
              {"baud", info.baud},
              {"largest_payload", info.largest_payload},
              {"commands", info.commands},
              {"client_version", kVersion}};
    io.out(j.dump() + "\n");
    return kExitOk;
  }
  io.out(fmt::format("resident   Tarlek {} (protocol {}) at {:04X}h, page {:02X}h\n", version,
                     info.protocol, info.page * 256, info.page));
  io.out(fmt::format("clock      {} Hz\n", info.clock_hz));
  io.out(fmt::format("baud       {}\n", info.baud));
  io.out(fmt::format("frames     up to {} bytes of payload\n", info.largest_payload));
  io.out(fmt::format("commands   {}\n", CommandNames(info.commands)));
  if (version != kVersion) {
    io.out(fmt::format("note       this tarlek-mon is version {}\n", kVersion));
  }
  return kExitOk;
}

int DoRead(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  const Item& item = plan.items.front();
  RequireCommand(info, protocol::ReadCommand(item.space));
  const Bytes bytes = link.Read(item.space, item.address, item.count);
  const Invocation& inv = plan.invocation;
  if (!inv.output_path.empty()) {
    WriteImageFile(inv.output_path, Segment{item.address, bytes});
    if (inv.json) {
      json j = ItemJson(item, bytes);
      j["file"] = inv.output_path;
      io.out(j.dump() + "\n");
    } else if (!inv.quiet) {
      io.out(fmt::format("{} bytes of {} from {} written to {}\n", bytes.size(),
                         SpaceName(item.space), FormatAddress(item.space, item.address),
                         inv.output_path));
    }
  } else if (inv.json) {
    io.out(ItemJson(item, bytes).dump() + "\n");
  } else if (inv.raw) {
    io.out(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  } else {
    const int digits = protocol::AddressWidth(item.space) == 2 ? 4 : 2;
    io.out(HexDump(item.address, bytes, digits));
  }
  return kExitOk;
}

int DoWrite(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  const Item& item = plan.items.front();
  RequireCommand(info, protocol::WriteCommand(item.space));
  RequireCommand(info, protocol::ReadCommand(item.space));
  Bytes back;
  // A write that was cut short after its address check may have written part
  // of its bytes; writing again is safe.
  for (int round = 0; round < 2; ++round) {
    link.Write(item.space, item.address, plan.data);
    back = link.Read(item.space, item.address, item.count);
    if (back == plan.data || item.space == Space::kSfr) break;
  }
  const bool confirmed = back == plan.data;
  const std::string where =
      fmt::format("{} {}", SpaceName(item.space), FormatAddress(item.space, item.address));
  if (plan.invocation.json) {
    json j = ItemJson(item, plan.data);
    j["read_back"] = back;
    j["confirmed"] = confirmed;
    io.out(j.dump() + "\n");
  } else if (confirmed) {
    io.out(fmt::format("wrote {} at {}, read back the same\n", ByteList(plan.data), where));
  } else {
    io.out(
        fmt::format("wrote {} at {}, read back {}\n", ByteList(plan.data), where, ByteList(back)));
  }
  if (confirmed) return kExitOk;
  if (item.space == Space::kSfr) {
    // Ports read their pins, flags change under the program: not a failure.
    if (!plan.invocation.quiet) {
      io.err(
          "note: some SFRs read back otherwise than written (port pins, timer and interrupt "
          "flags)\n");
    }
    return kExitOk;
  }
  throw Failure(kExitFailure, fmt::format("{} does not hold what was written: {} read back as {}",
                                          where, ByteList(plan.data), ByteList(back)));
}

int DoWatch(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  for (const Item& item : plan.items) RequireCommand(info, protocol::ReadCommand(item.space));
  const Invocation& inv = plan.invocation;
  const auto interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(inv.interval));
  const auto end = inv.seconds > 0 ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(inv.seconds))
                                   : Clock::time_point::max();
  std::vector<Bytes> previous(plan.items.size());
  bool first = true;
  try {
    for (;;) {
      const auto started = Clock::now();
      std::vector<Bytes> now;
      for (const Item& item : plan.items)
        now.push_back(link.Read(item.space, item.address, item.count));
      const std::string time = Timestamp();
      if (io.terminal.redraw) {
        std::string screen;
        if (!first) screen += fmt::format("\x1b[{}A", plan.items.size());
        for (size_t i = 0; i < plan.items.size(); ++i) {
          const Item& item = plan.items[i];
          std::string line = fmt::format("{} {:<4} {}", time, SpaceName(item.space),
                                         FormatAddress(item.space, item.address));
          if (!item.label.empty()) line += " " + item.label;
          line += ":";
          for (size_t b = 0; b < now[i].size(); ++b) {
            const bool changed = !first && previous[i][b] != now[i][b];
            const std::string hex = fmt::format("{:02X}", now[i][b]);
            if (changed && io.terminal.colour) {
              line += " \x1b[7m" + hex + "\x1b[m";
            } else {
              line += (changed ? "*" : " ") + hex;
            }
          }
          screen += "\r" + line + "\x1b[K\n";
        }
        io.out(screen);
      } else {
        for (size_t i = 0; i < plan.items.size(); ++i) {
          if (!first && previous[i] == now[i]) continue;
          const Item& item = plan.items[i];
          if (inv.json) {
            json j = ItemJson(item, now[i]);
            j["time"] = time;
            io.out(j.dump() + "\n");
          } else {
            std::string line = fmt::format("{} {} {}", time, SpaceName(item.space),
                                           FormatAddress(item.space, item.address));
            if (!item.label.empty()) line += " " + item.label;
            io.out(line + ": " + ByteList(now[i]) + "\n");
          }
        }
      }
      previous = std::move(now);
      first = false;
      const auto next = std::min(started + interval, end);
      link.Listen(next);
      if (Clock::now() >= end) return kExitOk;
    }
  } catch (const Failure& failure) {
    // Ctrl-C is how a watch ends.
    if (failure.status() == kExitInterrupted) return kExitOk;
    throw;
  }
}

int DoConsole(const Plan& plan, Link& link, Io&) {
  const auto end = plan.invocation.seconds > 0
                       ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(plan.invocation.seconds))
                       : Clock::time_point::max();
  try {
    link.Listen(end);
  } catch (const Failure& failure) {
    if (failure.status() == kExitInterrupted) return kExitOk;
    throw;
  }
  return kExitOk;
}

int DoDump(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  RequireCommand(info, protocol::kReadCode);
  const uint32_t count = plan.range.last - plan.range.first + 1;
  ProgressBar bar(io, count);
  const auto start = Clock::now();
  const Bytes bytes =
      link.Read(Space::kCode, plan.range.first, count, [&](size_t done) { bar.Update(done); });
  bar.Finish();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  WriteImageFile(plan.invocation.file, Segment{plan.range.first, bytes});
  if (plan.invocation.json) {
    json j = {{"file", plan.invocation.file},
              {"first", plan.range.first},
              {"last", plan.range.last},
              {"bytes", count},
              {"seconds", seconds},
              {"line_bytes", link.bytes_sent() + link.bytes_received()},
              {"retries", link.retries_done()}};
    io.out(j.dump() + "\n");
  } else if (!plan.invocation.quiet) {
    io.out(fmt::format("code {:04X}h-{:04X}h ({} bytes) written to {} in {:.1f} s\n",
                       plan.range.first, plan.range.last, count, plan.invocation.file, seconds));
  }
  return kExitOk;
}

int DoVerify(const Plan& plan, Link& link, Io& io) {
  const auto segments = ReadImageFile(plan.invocation.file);
  size_t total = 0;
  for (const auto& s : segments) total += s.data.size();
  if (total == 0) throw UsageError(plan.invocation.file + " holds no data");
  const auto info = CheckedIdentify(link, plan, io);
  RequireCommand(info, protocol::kReadCode);
  ProgressBar bar(io, total);
  std::vector<Difference> differences;
  size_t done = 0;
  for (const auto& segment : segments) {
    const Bytes chip = link.Read(Space::kCode, segment.address, segment.data.size(),
                                 [&](size_t n) { bar.Update(done + n); });
    done += segment.data.size();
    for (auto& d : FindDifferences(segment.address, segment.data, chip)) differences.push_back(d);
  }
  bar.Finish();
  size_t differing = 0;
  for (const auto& d : differences) differing += d.expected.size();
  if (plan.invocation.json) {
    json list = json::array();
    for (const auto& d : differences) {
      list.push_back(
          {{"first", d.first}, {"last", d.last}, {"file", d.expected}, {"chip", d.actual}});
    }
    io.out(json{{"file", plan.invocation.file},
                {"bytes", total},
                {"match", differences.empty()},
                {"differing_bytes", differing},
                {"differences", list}}
               .dump() +
           "\n");
  } else {
    for (const auto& d : differences) {
      const size_t shown = std::min<size_t>(d.expected.size(), 16);
      const char* more = shown < d.expected.size() ? " ..." : "";
      const std::string where = d.first == d.last ? fmt::format("{:04X}h", d.first)
                                                  : fmt::format("{:04X}h-{:04X}h", d.first, d.last);
      io.out(fmt::format("differs at {}: file {}{}, chip {}{}\n", where,
                         ByteList(std::span(d.expected).first(shown)), more,
                         ByteList(std::span(d.actual).first(shown)), more));
    }
    if (differences.empty()) {
      io.out(fmt::format("verified: the {} bytes of {} match code memory\n", total,
                         plan.invocation.file));
    } else {
      io.out(fmt::format("{} of {} bytes differ, in {} range{}\n", differing, total,
                         differences.size(), differences.size() == 1 ? "" : "s"));
    }
  }
  return differences.empty() ? kExitOk : kExitDifferent;
}

}  // namespace

int Execute(const Plan& plan, Port& port, Io& io) {
  const Invocation& inv = plan.invocation;
  const CommandEntry* entry = FindCommand(inv.command);
  if (entry == nullptr) throw UsageError("there is no command " + inv.command);
  LinkSettings settings;
  settings.baud = inv.baud;
  settings.retries = inv.retries;
  settings.slack = std::chrono::milliseconds(std::lround(inv.slack * 1000));
  if (entry->program_output_is_output) {
    settings.output = [&](std::span<const uint8_t> bytes) {
      if (inv.json) {
        io.out(json{{"time", Timestamp()}, {"text", Latin1ToUtf8(bytes)}}.dump() + "\n");
      } else {
        io.out(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
      }
    };
  } else if (!inv.quiet) {
    settings.output = [&](std::span<const uint8_t> bytes) {
      io.err(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    };
  }
  // Whatever waited on the line before this run is old news.
  port.DiscardWaiting();
  Link link(port, settings);
  return entry->run(plan, link, io);
}

int Run(const Invocation& invocation, Io& io) {
  try {
    const Plan plan = MakePlan(invocation);
    Port port = Port::Open(invocation.port, invocation.baud);
    return Execute(plan, port, io);
  } catch (const Failure& failure) {
    io.err(fmt::format("tarlek-mon: {}\n", failure.what()));
    return failure.status();
  } catch (const std::exception& error) {
    io.err(fmt::format("tarlek-mon: {}\n", error.what()));
    return kExitFailure;
  }
}

// ---- The command table -------------------------------------------------------

namespace {

// Adding a command: its function above, and one entry here (see commands.h).
// Options bind to Invocation's fields, whose initialisers are the defaults
// that the help texts show.
const CommandEntry kCommands[] = {
    {"identify", "Show the resident's version, page, clock, baud and commands", nullptr, nullptr,
     DoIdentify},
    {"read", "Read memory: SPACE ADDR [COUNT] (SPACE: code, iram, sfr, xram; COUNT default 10h)",
     [](CLI::App& command, Invocation& inv) {
       command.add_option("operands", inv.operands, "SPACE ADDR [COUNT], or SYMBOL [COUNT]")
           ->required()
           ->expected(1, 3);
       command.add_option("-o,--output", inv.output_path,
                          "Write the bytes to a file: Intel HEX, or raw for a .bin name");
       command.add_flag("--raw", inv.raw, "Write the raw bytes to standard output");
     },
     PlanRead, DoRead},
    {"write", "Write memory and read it back: SPACE ADDR BYTE... (SPACE: iram, sfr, xram)",
     [](CLI::App& command, Invocation& inv) {
       command.add_option("operands", inv.operands, "SPACE ADDR BYTE..., or SYMBOL BYTE...")
           ->required()
           ->expected(2, 1 << 16);
     },
     PlanWrite, DoWrite},
    {"watch", "Show memory while the program runs: SPACE ADDR COUNT, or SYMBOL[:COUNT]...",
     [](CLI::App& command, Invocation& inv) {
       const Invocation defaults;
       command.add_option("operands", inv.operands, "SPACE ADDR COUNT, or symbols")
           ->required()
           ->expected(1, 64);
       command
           .add_option("-i,--interval", inv.interval,
                       fmt::format("Seconds between refreshes (default {})", defaults.interval))
           ->check(CLI::Range(0.0, 3600.0));
       command
           .add_option("--seconds", inv.seconds,
                       "Stop after this many seconds (default: at Ctrl-C)")
           ->check(CLI::NonNegativeNumber);
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
     nullptr, DoVerify},
    {"console", "Show the program's own output as it comes",
     [](CLI::App& command, Invocation& inv) {
       command
           .add_option("--seconds", inv.seconds,
                       "Stop after this many seconds (default: at Ctrl-C)")
           ->check(CLI::NonNegativeNumber);
     },
     nullptr, DoConsole, true},
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
