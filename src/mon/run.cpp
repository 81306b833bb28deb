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
#include "mon/plot_command.h"
#include "mon/program.h"
#include "mon/variables.h"
#include "mon/write_report.h"

namespace tarlek::mon {

using nlohmann::json;
using protocol::Bytes;

namespace {

// ---- The plan --------------------------------------------------------------

void PlanDump(const Invocation& invocation, const Program&, Plan& plan) {
  if (invocation.range.empty()) return;
  const auto range = ParseRange(invocation.range);
  if (!range) {
    throw UsageError(invocation.range + " is not a range A-B of code addresses (A <= B <= FFFF)");
  }
  plan.range = *range;
}

void PlanVerify(const Invocation& invocation, const Program&, Plan& plan) {
  plan.image = ReadImageFile(invocation.file);
  size_t total = 0;
  for (const auto& s : plan.image) total += s.data.size();
  if (total == 0) throw UsageError(invocation.file + " holds no data");
}

}  // namespace

Plan MakePlan(const Invocation& invocation) {
  const CommandEntry* entry = FindCommand(invocation.command);
  if (entry == nullptr) throw UsageError("there is no command " + invocation.command);
  Plan plan;
  plan.invocation = invocation;
  // The files are read with Ctrl-C ending the run at once: a FIFO or a slow
  // mount may keep a read waiting.
  const DefaultStopSignals stoppable;
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

// A file name as "file": the name itself when it is UTF-8. A name that is not
// (Linux allows any bytes) has its stray bytes shown as U+FFFD there, and the
// name's bytes, exactly, as "file_bytes".
void PutFileName(json& j, const std::string& name) {
  try {
    static_cast<void>(json(name).dump());
    j["file"] = name;
  } catch (const json::type_error&) {
    j["file"] = json::parse(json(name).dump(-1, ' ', false, json::error_handler_t::replace));
    j["file_bytes"] = Bytes(name.begin(), name.end());
  }
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
    std::string line =
        fmt::format("\r[{:<{}}] {}/{} bytes  {:.0f} B/s  {:.0f} s left ",
                    std::string(static_cast<size_t>(filled), '#'), width, done, total_, rate, left);
    io_.err(line);
    io_.footer.Shown(io_.err, std::move(line), 0);
  }
  void Finish() {
    if (!io_.terminal.progress) return;
    io_.footer.Gone();
    io_.err("\n");
  }

 private:
  Io& io_;
  size_t total_;
  Clock::time_point start_;
};

// ---- Commands ----------------------------------------------------------------

}  // namespace

protocol::IdentifyInfo CheckedIdentify(Link& link, const Plan& plan, Io& io) {
  // The link refuses a protocol it does not speak and nonsense fields.
  const auto info = link.Identify();
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

namespace {

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
  if (plan.typed) return DoTypedRead(plan, link, io);
  const auto info = CheckedIdentify(link, plan, io);
  const Item& item = plan.items.front();
  RequireCommand(info, protocol::ReadCommand(item.space));
  const Invocation& inv = plan.invocation;
  // Every check of the file comes before the reading.
  std::optional<ImageFileWriter> file;
  if (!inv.output_path.empty()) file.emplace(inv.output_path, item.address, item.count);
  const Bytes bytes = link.Read(item.space, item.address, item.count);
  if (file) {
    file->Commit(bytes);
    if (inv.json) {
      json j = ItemJson(item, bytes);
      PutFileName(j, inv.output_path);
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
  if (plan.typed) return DoTypedWrite(plan, link, io);
  const auto info = CheckedIdentify(link, plan, io);
  const Item& item = plan.items.front();
  RequireCommand(info, protocol::WriteCommand(item.space));
  const std::string where =
      fmt::format("{} {}", SpaceName(item.space), FormatAddress(item.space, item.address));
  if (plan.invocation.no_check) {
    // The resident's answer says it took every byte; what the memory holds
    // afterwards is the program's business.
    link.Write(item.space, item.address, plan.data);
    if (plan.invocation.json) {
      json j = ItemJson(item, plan.data);
      j["checked"] = false;
      io.out(j.dump() + "\n");
    } else {
      io.out(fmt::format("wrote {} at {} (not read back)\n", ByteList(plan.data), where));
    }
    return kExitOk;
  }
  RequireCommand(info, protocol::ReadCommand(item.space));
  Bytes back, reported;
  // A write that was cut short after its address check may have written part
  // of its bytes; writing again is safe.
  for (int round = 0; round < 2; ++round) {
    reported = link.Write(item.space, item.address, plan.data);
    back = link.Read(item.space, item.address, item.count);
    if (back == plan.data || item.space == Space::kSfr) break;
  }
  const bool confirmed = back == plan.data;
  const bool sfr = item.space == Space::kSfr;
  const Bytes kept = sfr ? KeptBits(link.version(), item.address, plan.data, reported) : Bytes{};
  if (plan.invocation.json) {
    json j = ItemJson(item, plan.data);
    j["read_back"] = back;
    j["confirmed"] = confirmed;
    if (sfr) j["kept"] = kept;
    io.out(j.dump() + "\n");
  } else if (confirmed) {
    io.out(fmt::format("wrote {} at {}, read back the same\n", ByteList(plan.data), where));
  } else {
    io.out(
        fmt::format("wrote {} at {}, read back {}\n", ByteList(plan.data), where, ByteList(back)));
  }
  if (!plan.invocation.json) io.err(KeptNotes(item.address, plan.data, back, kept));
  if (confirmed) return kExitOk;
  if (sfr) {
    // Ports read their pins, flags change under the program: not a failure.
    if (!plan.invocation.quiet && !KeptExplains(plan.data, back, kept)) {
      io.err(
          "note: some SFRs read back otherwise than written (port pins, timer and interrupt "
          "flags)\n");
    }
    return kExitOk;
  }
  if (item.space == Space::kIram && info.Offers(protocol::kReadSfr)) {
    const uint8_t sp = link.Read(Space::kSfr, 0x81, 1).front();
    if (auto why = StackExplanation(item.address, plan.data, back, sp,
                                    ResidentStackBytes(link.version()))) {
      throw Failure(kExitFailure, *why);
    }
  }
  throw Failure(kExitFailure, fmt::format("{} does not hold what was written: {} read back as {}",
                                          where, ByteList(plan.data), ByteList(back)));
}

int DoPlot(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  for (const Target& target : plan.targets) {
    RequireCommand(info, protocol::ReadCommand(target.place.space));
  }
  return RunPlot(plan, link, io);
}

int DoConsole(const Plan& plan, Link& link, Io& io) {
  const auto end = plan.invocation.seconds > 0
                       ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(plan.invocation.seconds))
                       : Clock::time_point::max();
  try {
    // In slices, so that a partial line is given out when the program pauses.
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
      link.Listen(now + std::min<Clock::duration>(end - now, std::chrono::milliseconds(50)));
      if (io.program != nullptr) io.program->Tick(Clock::now());
    }
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
  // Every check of the file comes before the reading.
  ImageFileWriter file(plan.invocation.file, plan.range.first, count);
  ProgressBar bar(io, count);
  const auto start = Clock::now();
  const Bytes bytes =
      link.Read(Space::kCode, plan.range.first, count, [&](size_t done) { bar.Update(done); });
  bar.Finish();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  file.Commit(bytes);
  if (plan.invocation.json) {
    json j = {{"first", plan.range.first},
              {"last", plan.range.last},
              {"bytes", count},
              {"seconds", seconds},
              {"line_bytes", link.bytes_sent() + link.bytes_received()},
              {"retries", link.retries_done()}};
    PutFileName(j, plan.invocation.file);
    io.out(j.dump() + "\n");
  } else if (!plan.invocation.quiet) {
    io.out(fmt::format("code {:04X}h-{:04X}h ({} bytes) written to {} in {:.1f} s\n",
                       plan.range.first, plan.range.last, count, plan.invocation.file, seconds));
  }
  return kExitOk;
}

int DoVerify(const Plan& plan, Link& link, Io& io) {
  const std::vector<Segment>& segments = plan.image;
  size_t total = 0;
  for (const auto& s : segments) total += s.data.size();
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
    json j = {{"bytes", total},
              {"match", differences.empty()},
              {"differing_bytes", differing},
              {"differences", list}};
    PutFileName(j, plan.invocation.file);
    io.out(j.dump() + "\n");
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
  ProgramOutput::Settings shown;
  shown.visible = io.terminal.visible_output;
  shown.timestamp = Timestamp;
  const bool console = entry->program_output_is_output;
  if (console)
    shown.mode = inv.json ? ProgramOutput::Mode::kConsoleJson : ProgramOutput::Mode::kConsole;
  ProgramOutput output(shown, console ? io.out : io.err, console ? nullptr : &io.footer);
  if (console || !inv.quiet) {
    settings.output = [&](std::span<const uint8_t> bytes) { output.Feed(bytes, Clock::now()); };
  }
  // A line the program had begun is shown, marked as cut, when the command
  // ends, also when it ends in a failure (before its message).
  struct Finished {
    ProgramOutput& output;
    Io& io;
    ~Finished() {
      output.Finish();
      io.program = nullptr;
    }
  } finished{output, io};
  io.program = &output;
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
       command.add_option("operands", inv.operands, "NAME[:COUNT] [COUNT], SPACE ADDR [COUNT]...")
           ->required()
           ->expected(1, 256);
       command
           .add_option("-i,--interval", inv.interval,
                       fmt::format("Seconds between samples (default {}; 0: as fast as the line "
                                   "allows)",
                                   defaults.interval))
           ->check(CLI::Validator(SecondsCheck(3600), "SECONDS"));
       command
           .add_option("--seconds", inv.seconds,
                       "Stop after this many seconds (default: at Ctrl-C)")
           ->check(CLI::Validator(SecondsCheck(0), "SECONDS"));
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
     [](CLI::App& command, Invocation& inv) {
       command
           .add_option("--seconds", inv.seconds,
                       "Stop after this many seconds (default: at Ctrl-C)")
           ->check(CLI::Validator(SecondsCheck(0), "SECONDS"));
     },
     nullptr, DoConsole, true},
    {"plot",
     "Plot variables in a local web page while the program runs: NAME... (typed with -m "
     "FILE.cdb), NAME:COUNT, SPACE ADDR [COUNT]",
     [](CLI::App& command, Invocation& inv) {
       const Invocation defaults;
       command.add_option("operands", inv.operands, "NAME[:COUNT] [COUNT], SPACE ADDR [COUNT]...")
           ->required()
           ->expected(1, 64);
       command.add_option("--listen", inv.listen,
                          "HOST:PORT the page is served on (default 127.0.0.1 and a free port)");
       command
           .add_option("-i,--interval", inv.plot_interval,
                       fmt::format("Seconds between samples (default {})", defaults.plot_interval))
           ->check(CLI::Range(0.0, 3600.0));
       command
           .add_option("--seconds", inv.seconds,
                       "Stop after this many seconds (default: at Ctrl-C)")
           ->check(CLI::Validator(SecondsCheck(0), "SECONDS"));
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
