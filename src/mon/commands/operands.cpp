#include <fmt/format.h>

#include <algorithm>

#include "base/failure.h"
#include "base/resident_facts.h"
#include "mon/commands/commands.h"
#include "mon/commands/shared.h"
#include "mon/symbols/value.h"

namespace tarlek::mon {

namespace {

std::string BaseName(std::string_view expression) {
  size_t n = 0;
  while (n < expression.size() && expression[n] != '.' && expression[n] != '[' &&
         expression[n] != ':') {
    ++n;
  }
  return std::string(expression.substr(0, n));
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
Target Named(const std::string& operand, const SymbolTable& program) {
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
Location TakeLocation(const std::vector<std::string>& ops, size_t at, const SymbolTable& program) {
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
bool IsCount(const std::vector<std::string>& ops, size_t at, const SymbolTable& program) {
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

void PlanRead(const Invocation& invocation, const SymbolTable& program, Plan& plan) {
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

void PlanWrite(const Invocation& invocation, const SymbolTable& program, Plan& plan) {
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
      if (sfr == resident::kSfrScon || sfr == resident::kSfrSbuf) {
        throw UsageError(
            fmt::format("SCON ({:02X}h) and SBUF ({:02X}h) carry the serial line: they cannot be "
                        "written",
                        resident::kSfrScon, resident::kSfrSbuf));
      }
    }
  }
  plan.items.push_back(ItemOf(target));
  plan.targets.push_back(std::move(target));
}

void PlanWatch(const Invocation& invocation, const SymbolTable& program, Plan& plan) {
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

}  // namespace tarlek::mon
