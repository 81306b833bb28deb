#include "mon/variables.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>

#include "base/output_file.h"
#include "mon/failure.h"
#include "mon/format.h"
#include "mon/link.h"
#include "mon/sampler.h"
#include "mon/value.h"

namespace tarlek::mon {

using json = nlohmann::ordered_json;

namespace {

// ---- Operands ------------------------------------------------------------------

std::string BaseName(std::string_view expression) {
  size_t n = 0;
  while (n < expression.size() && expression[n] != '.' && expression[n] != '[' &&
         expression[n] != ':') {
    ++n;
  }
  return std::string(expression.substr(0, n));
}

std::string PlaceText(const Place& place) {
  return fmt::format("{} {}", SpaceName(place.space), FormatAddress(place.space, place.address));
}

// COUNT bytes of the target's place, untyped.
void Count(Target& target, const std::string& token) {
  const auto value = ParseHex(token);
  if (!value || *value == 0) throw UsageError(token + " is not a count (hexadecimal, above 0)");
  if (!target.place.sfrs.empty()) {
    throw UsageError(target.name + " is an SFR pair: read its SFRs by address for bytes");
  }
  if (target.place.address + *value > Bounds(target.place.space).end) {
    throw UsageError(fmt::format("{} bytes from {} run past the end of {}", token,
                                 FormatAddress(target.place.space, target.place.address),
                                 SpaceName(target.place.space)));
  }
  target.type = BytesType(*value);
}

// A variable named by the operand; the messages say what else it is not.
Target Named(const std::string& operand, const Program& program) {
  if (program.empty()) {
    throw UsageError(fmt::format(
        "{} is not a memory space (code, iram, sfr, xram); for names give -m FILE.cdb or FILE.map",
        operand));
  }
  if (program.Find(BaseName(operand)) == nullptr) {
    const std::string why = program.Missing(BaseName(operand));
    if (why.find("is not a variable") != std::string::npos) {
      throw UsageError(fmt::format("{} is neither a memory space nor a symbol of {}", operand,
                                   program.source()));
    }
    throw UsageError(why);
  }
  return ResolveName(program, operand);
}

struct Location {
  Target target;
  bool address = false;  // given as SPACE ADDR
  size_t used = 0;
};

// SPACE ADDR, SPACE NAME or NAME[:COUNT] at operands[at].
Location TakeLocation(const std::vector<std::string>& ops, size_t at, const Program& program) {
  const auto space = ParseSpace(ops[at]);
  if (!space) return Location{Named(ops[at], program), false, 1};
  if (at + 1 >= ops.size()) throw UsageError("an address must follow " + ops[at]);
  const std::string& token = ops[at + 1];
  const auto number = ParseHex(token);
  const Variable* variable =
      LooksLikeName(token) && !program.empty() ? program.Find(BaseName(token)) : nullptr;
  if (number && variable != nullptr && variable->place.space == *space &&
      (variable->place.address != *number || BaseName(token) != token)) {
    throw UsageError(fmt::format(
        "{} {} could be the address {} or the variable {} at {}: write 0x{} or {}h for the "
        "address, or {} without the space for the variable",
        ops[at], token, PlaceText(Place{*space, *number, {}}), token, PlaceText(variable->place),
        token, token, token));
  }
  if (number) {
    const SpaceBounds bounds = Bounds(*space);
    if (*number < bounds.first || *number >= bounds.end) {
      throw UsageError(fmt::format("{} is outside {} ({}-{})", token, SpaceName(*space),
                                   FormatAddress(*space, bounds.first),
                                   FormatAddress(*space, bounds.end - 1)));
    }
    return Location{RawTarget(PlaceText(Place{*space, *number, {}}), *space, *number, 1), true, 2};
  }
  if (variable == nullptr) {
    throw UsageError(program.empty()
                         ? fmt::format("{} is not a hexadecimal address (for symbol names give "
                                       "-m FILE.cdb or FILE.map)",
                                       token)
                         : fmt::format("{} is neither a hexadecimal address nor a symbol of {}",
                                       token, program.source()));
  }
  Target target = ResolveName(program, token);
  if (target.place.space != *space) {
    throw UsageError(fmt::format("{} is in {}, not in {}", token, SpaceName(target.place.space),
                                 SpaceName(*space)));
  }
  return Location{std::move(target), false, 2};
}

// Whether ops[at] is a count for the thing before it, where a name could
// stand too (watch): a word that is both is refused with both readings.
bool IsCount(const std::vector<std::string>& ops, size_t at, const Program& program) {
  if (at >= ops.size() || ParseSpace(ops[at]) || !ParseHex(ops[at])) return false;
  if (LooksLikeName(ops[at]) && !program.empty() && program.Find(BaseName(ops[at])) != nullptr) {
    throw UsageError(fmt::format(
        "{} could be a count ({}h bytes) or the variable {}: write 0x{} for the count, or "
        "NAME:COUNT",
        ops[at], ops[at], ops[at], ops[at]));
  }
  return true;
}

Item ItemOf(const Target& target) {
  return Item{target.place.space, target.place.address, target.type->size,
              target.name.starts_with(SpaceName(target.place.space)) ? "" : target.name};
}

}  // namespace

void PlanRead(const Invocation& invocation, const Program& program, Plan& plan) {
  const auto& ops = invocation.operands;
  Location location = TakeLocation(ops, 0, program);
  if (ops.size() > location.used + 1)
    throw UsageError("read takes SPACE ADDR [COUNT] or NAME [COUNT]");
  Target& target = location.target;
  if (ops.size() == location.used + 1) {
    Count(target, ops[location.used]);
  } else if (location.address) {
    // An address shows a line of 16.
    target.type = BytesType(std::min(16u, Bounds(target.place.space).end - target.place.address));
  }
  const bool bytes_wanted = invocation.raw || !invocation.output_path.empty();
  if (target.type->kind != TypeKind::kBytes && !bytes_wanted) {
    plan.typed = true;
  } else if (!target.place.sfrs.empty()) {
    throw UsageError(target.name + " is an SFR pair: read its SFRs by address for bytes");
  }
  plan.items.push_back(ItemOf(target));
  plan.targets.push_back(std::move(target));
}

void PlanWrite(const Invocation& invocation, const Program& program, Plan& plan) {
  const auto& ops = invocation.operands;
  Location location = TakeLocation(ops, 0, program);
  Target& target = location.target;
  if (target.place.space == Space::kCode) {
    throw UsageError("code memory cannot be written through the resident");
  }
  if (ops.size() <= location.used) throw UsageError("write wants a value or at least one byte");
  const bool typed = target.type->kind != TypeKind::kBytes && !location.address;
  if (typed) {
    if (ops.size() != location.used + 1) {
      throw UsageError(
          fmt::format("write {} takes one value (a {}); for bytes write {}:COUNT BYTE...",
                      target.name, target.type->Name(), target.name));
    }
    plan.typed = true;
    plan.value = ops[location.used];
    // A value that does not fit the type is refused before the line is opened.
    static_cast<void>(EncodeValue(*target.type, plan.value, Bytes(target.type->size)));
  } else {
    for (size_t i = location.used; i < ops.size(); ++i) {
      const auto value = ParseHex(ops[i]);
      if (!value || *value > 0xFF) throw UsageError(ops[i] + " is not a byte (00h-FFh)");
      plan.data.push_back(static_cast<uint8_t>(*value));
    }
    if (!location.address && target.name.find(':') != std::string::npos &&
        plan.data.size() != target.type->size) {
      throw UsageError(fmt::format("{} names {} bytes; {} given", target.name, target.type->size,
                                   plan.data.size()));
    }
    target.type = BytesType(static_cast<uint32_t>(plan.data.size()));
  }
  const uint32_t first = target.place.ByteAddress(0);
  const uint32_t end = target.place.ByteAddress(target.type->size - 1) + 1;
  if (end > Bounds(target.place.space).end) {
    throw UsageError(fmt::format("{} bytes from {} run past the end of {}", target.type->size,
                                 FormatAddress(target.place.space, first),
                                 SpaceName(target.place.space)));
  }
  // SCON and SBUF carry the resident's own line.
  if (target.place.space == Space::kSfr) {
    for (uint32_t i = 0; i < target.type->size; ++i) {
      const uint32_t sfr = target.place.ByteAddress(i);
      if (sfr == 0x98 || sfr == 0x99) {
        throw UsageError("SCON (98h) and SBUF (99h) carry the serial line: they cannot be written");
      }
    }
  }
  plan.items.push_back(ItemOf(target));
  plan.targets.push_back(std::move(target));
}

void PlanWatch(const Invocation& invocation, const Program& program, Plan& plan) {
  const auto& ops = invocation.operands;
  for (size_t at = 0; at < ops.size();) {
    Location location = TakeLocation(ops, at, program);
    at += location.used;
    const bool counted = location.target.name.find(':') != std::string::npos;
    if (!counted && IsCount(ops, at, program)) Count(location.target, ops[at++]);
    plan.items.push_back(ItemOf(location.target));
    plan.targets.push_back(std::move(location.target));
  }
}

// ---- Typed read and write ------------------------------------------------------

namespace {

json TargetJson(const Target& target, const json& value, const Bytes& bytes) {
  return json{{"symbol", target.name},
              {"type", target.type->Name()},
              {"space", SpaceName(target.place.space)},
              {"address", target.place.address},
              {"value", value},
              {"bytes", bytes}};
}

// The bytes of a target, each where its place says.
Bytes ReadTarget(Link& link, const Target& target) {
  if (target.place.sfrs.empty()) {
    return link.Read(target.place.space, target.place.address, target.type->size);
  }
  Bytes bytes;
  for (const uint8_t sfr : target.place.sfrs) {
    bytes.push_back(link.Read(Space::kSfr, sfr, 1).at(0));
  }
  return bytes;
}

void WriteTarget(Link& link, const Target& target, const Bytes& bytes) {
  if (target.place.sfrs.empty()) {
    link.Write(target.place.space, target.place.address, bytes);
    return;
  }
  // An SFR pair: the high byte first, as the 8051's own code does for timers.
  for (size_t i = bytes.size(); i-- > 0;) {
    link.Write(Space::kSfr, target.place.sfrs.at(i), std::span(bytes).subspan(i, 1));
  }
}

}  // namespace

int DoTypedRead(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  const Target& target = plan.targets.front();
  RequireCommand(info, protocol::ReadCommand(target.place.space));
  const Bytes bytes = ReadTarget(link, target);
  const json value = DecodeValue(*target.type, bytes);
  if (plan.invocation.json) {
    io.out(TargetJson(target, value, bytes).dump() + "\n");
  } else {
    io.out(fmt::format("{} = {}\n", target.name,
                       FormatValue(*target.type, value, plan.invocation.hex)));
  }
  return kExitOk;
}

int DoTypedWrite(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  const Target& target = plan.targets.front();
  const Space space = target.place.space;
  RequireCommand(info, protocol::WriteCommand(space));
  const Type& type = *target.type;
  const bool read_modify_write = type.kind == TypeKind::kBitField;
  const bool check = !plan.invocation.no_check;
  if (check || read_modify_write) RequireCommand(info, protocol::ReadCommand(space));
  Bytes old(type.size);
  if (read_modify_write) old = ReadTarget(link, target);
  const Bytes bytes = EncodeValue(type, plan.value, old);
  const json wanted = DecodeValue(type, bytes);
  const bool hex = plan.invocation.hex;
  if (!check) {
    // The resident took every byte; what the variable holds afterwards is
    // the program's business.
    WriteTarget(link, target, bytes);
    if (plan.invocation.json) {
      json j = TargetJson(target, wanted, bytes);
      j["checked"] = false;
      io.out(j.dump() + "\n");
    } else {
      io.out(fmt::format("wrote {} = {} (not read back)\n", target.name,
                         FormatValue(type, wanted, hex)));
    }
    return kExitOk;
  }
  Bytes back;
  // A write cut short after its address check may have written part of its
  // bytes; writing again is safe.
  for (int round = 0; round < 2; ++round) {
    WriteTarget(link, target, bytes);
    back = ReadTarget(link, target);
    if (DecodeValue(type, back) == wanted || space == Space::kSfr) break;
  }
  const json got = DecodeValue(type, back);
  const bool confirmed = got == wanted;
  if (plan.invocation.json) {
    json j = TargetJson(target, wanted, bytes);
    j["read_back"] = got;
    j["confirmed"] = confirmed;
    io.out(j.dump() + "\n");
  } else if (confirmed) {
    io.out(fmt::format("wrote {} = {}, read back the same\n", target.name,
                       FormatValue(type, wanted, hex)));
  } else {
    io.out(fmt::format("wrote {} = {}, read back {}\n", target.name, FormatValue(type, wanted, hex),
                       FormatValue(type, got, hex)));
  }
  if (confirmed) return kExitOk;
  if (space == Space::kSfr) {
    if (!plan.invocation.quiet) {
      io.err(
          "note: some SFRs read back otherwise than written (port pins, timer and interrupt "
          "flags)\n");
    }
    return kExitOk;
  }
  throw Failure(kExitFailure,
                fmt::format("{} ({}) does not hold what was written: {} read back as {}",
                            target.name, PlaceText(target.place), FormatValue(type, wanted, hex),
                            FormatValue(type, got, hex)));
}

// ---- Watch ---------------------------------------------------------------------

namespace {

std::string CsvField(const Target& target, const json& value, const Sampler& sampler, size_t i) {
  if (value.is_number()) return value.dump();
  if (value.is_null()) return "";
  std::string text = sampler.Text(i, value, false);
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  static_cast<void>(target);
  return quoted + "\"";
}

class CsvLog {
 public:
  CsvLog(const std::string& path, const Sampler& sampler) : path_(path), sampler_(sampler) {
    if (path.empty()) return;
    if (!file_.OpenLog(path.c_str())) throw Failure(kExitFailure, "cannot write the log " + path);
    std::string header = "time";
    for (const std::string& name : sampler.names()) {
      header += ",";
      header += name.find_first_of(",\"") == std::string::npos ? name : "\"" + name + "\"";
    }
    Put(header);
  }
  ~CsvLog() {
    if (!path_.empty()) static_cast<void>(file_.Commit());
  }
  CsvLog(const CsvLog&) = delete;
  CsvLog& operator=(const CsvLog&) = delete;

  void Add(const Sample& sample) {
    if (path_.empty()) return;
    std::string row = fmt::format("{:.3f}", sample.time);
    for (size_t i = 0; i < sampler_.targets().size(); ++i) {
      const Target& t = sampler_.targets()[i];
      row += ',';
      row += CsvField(t, sample.values[t.name], sampler_, i);
    }
    Put(row);
  }
  void Close() {
    if (path_.empty()) return;
    const std::string path = path_;
    path_.clear();
    if (!file_.Commit()) throw Failure(kExitFailure, "cannot write the log " + path);
  }

 private:
  void Put(const std::string& line) {
    file_.Write(line.data(), line.size());
    file_.Write("\n", 1);
    // Flushed line by line: what was shown is in the file, however the run ends.
    if (!file_.Flush()) throw Failure(kExitFailure, "cannot write the log " + path_);
  }

  std::string path_;
  const Sampler& sampler_;
  OutputFile file_;
};

std::string WallTime(double time) {
  const auto seconds = static_cast<time_t>(time);
  tm local{};
  localtime_r(&seconds, &local);
  const auto ms =
      static_cast<int>(std::lround((time - static_cast<double>(seconds)) * 1000)) % 1000;
  return fmt::format("{:02}:{:02}:{:02}.{:03}", local.tm_hour, local.tm_min, local.tm_sec, ms);
}

}  // namespace

int DoWatch(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  for (const Target& t : plan.targets) RequireCommand(info, protocol::ReadCommand(t.place.space));
  const Invocation& inv = plan.invocation;
  Sampler sampler(plan.targets);
  CsvLog log(inv.csv_path, sampler);
  const auto interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(inv.interval));
  const auto start = Clock::now();
  const auto end = inv.seconds > 0 ? start + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(inv.seconds))
                                   : Clock::time_point::max();
  size_t width = 4;
  for (const Target& t : plan.targets) width = std::max(width, t.name.size());
  std::vector<std::string> previous(plan.targets.size());
  size_t samples = 0;
  // The line bytes of the samples: from the end of the first one, which
  // carries no identify and no planning.
  size_t line_at_first = 0;
  size_t retries_at_first = 0;
  const auto finish = [&]() {
    // A line the program had begun goes above the table, which then stays as
    // it is, above the summary.
    if (io.program != nullptr) io.program->Finish();
    io.footer.Gone();
    log.Close();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (!inv.quiet && samples > 0) {
      const size_t line = link.bytes_sent() + link.bytes_received() - line_at_first;
      // A request that had to be sent again is a sample that came late: a
      // line that loses bytes shows here first.
      const size_t retries = link.retries_done() - retries_at_first;
      io.err(fmt::format(
          "{} samples in {:.1f} s: {:.1f} samples/s, {} request{} and {:.1f} line "
          "bytes a sample{}\n",
          samples, elapsed, static_cast<double>(samples) / elapsed, sampler.requests(),
          sampler.requests() == 1 ? "" : "s",
          samples > 1 ? static_cast<double>(line) / static_cast<double>(samples - 1) : 0.0,
          retries == 0
              ? std::string()
              : fmt::format("; {} request{} sent again", retries, retries == 1 ? "" : "s")));
    }
    return kExitOk;
  };
  try {
    for (;;) {
      const auto started = Clock::now();
      const Sample sample = sampler.Take(link);
      if (++samples == 1) {
        line_at_first = link.bytes_sent() + link.bytes_received();
        retries_at_first = link.retries_done();
      }
      log.Add(sample);
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      std::vector<std::string> texts;
      for (size_t i = 0; i < plan.targets.size(); ++i) {
        texts.push_back(sampler.Text(i, sample.values[plan.targets[i].name], inv.hex));
      }
      if (inv.json) {
        io.out(sample.Json().dump() + "\n");
      } else if (io.terminal.redraw) {
        std::string screen, table;
        if (samples > 1) screen += fmt::format("\x1b[{}A", plan.targets.size() + 1);
        table += fmt::format("\r{}  {:.1f} samples/s\x1b[K\n", WallTime(sample.time),
                             elapsed > 0 ? static_cast<double>(samples - 1) / elapsed : 0.0);
        for (size_t i = 0; i < texts.size(); ++i) {
          const bool changed = samples > 1 && texts[i] != previous[i];
          std::string shown = texts[i];
          if (changed && io.terminal.colour) {
            shown = fmt::format("\x1b[7m{}\x1b[m", shown);
          } else if (changed) {
            shown += " *";
          }
          table += fmt::format("\r{:<{}}  {}\x1b[K\n", plan.targets[i].name, width, shown);
        }
        io.out(screen + table);
        // The program's lines are written above the table.
        io.footer.Shown(io.out, std::move(table), plan.targets.size() + 1);
      } else {
        for (size_t i = 0; i < texts.size(); ++i) {
          if (samples > 1 && texts[i] == previous[i]) continue;
          io.out(
              fmt::format("{} {} = {}\n", WallTime(sample.time), plan.targets[i].name, texts[i]));
        }
      }
      previous = std::move(texts);
      const auto next = std::min(started + interval, end);
      link.Listen(next);
      if (Clock::now() >= end) return finish();
    }
  } catch (const Failure& failure) {
    // Ctrl-C is how a watch ends.
    if (failure.status() == kExitInterrupted) return finish();
    throw;
  }
}

}  // namespace tarlek::mon
