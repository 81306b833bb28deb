#include <fmt/format.h>

#include <algorithm>

#include "base/failure.h"
#include "base/resident_facts.h"
#include "mon/commands/commands.h"
#include "mon/commands/shared.h"
#include "mon/symbols/value.h"

namespace tarlek::mon {

namespace {

// Makes the target COUNT bytes of its place, untyped; a usage Failure for a
// token that is no count, or bytes that do not fit the space.
void ApplyCount(Target& target, const std::string& token) {
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

// What the operands at one position name: the target, whether it was given
// by address, and how many operands it took.
struct TakenTarget {
  Target target;
  bool address = false;  // given as SPACE ADDR
  size_t used = 0;
};

// SPACE ADDR, SPACE NAME or NAME[:COUNT] at operands[at].
TakenTarget TakeTarget(const std::vector<std::string>& ops, size_t at, const SymbolTable& program) {
  const auto space = ParseSpace(ops[at]);
  if (!space) return TakenTarget{Named(ops[at], program), false, 1};
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
    return TakenTarget{RawTarget(PlaceText(Place{*space, *number, {}}), *space, *number, 1), true,
                       2};
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
  return TakenTarget{std::move(target), false, 2};
}

// Whether ops[at] reads as a count for the target before it, where a name
// could stand too (watch).
bool ReadsAsCount(const std::vector<std::string>& ops, size_t at) {
  return at < ops.size() && !ParseSpace(ops[at]) && ParseHex(ops[at]);
}

// A usage Failure, with both readings, for a count that names a variable too.
void RefuseCountThatIsAName(const std::string& count, const SymbolTable& program) {
  if (LooksLikeName(count) && !program.empty() && program.Find(BaseName(count)) != nullptr) {
    throw UsageError(fmt::format(
        "{} could be a count ({}h bytes) or the variable {}: write 0x{} for the count, or "
        "NAME:COUNT",
        count, count, count, count));
  }
}

}  // namespace

void PlanRead(const Invocation& invocation, const SymbolTable& program, Plan& plan) {
  const auto& ops = invocation.operands;
  TakenTarget taken = TakeTarget(ops, 0, program);
  if (ops.size() > taken.used + 1)
    throw UsageError("read takes SPACE ADDR [COUNT] or NAME [COUNT]");
  Target& target = taken.target;
  if (ops.size() == taken.used + 1) {
    ApplyCount(target, ops[taken.used]);
  } else if (taken.address) {
    // An address shows a line of 16.
    target.type = BytesType(std::min(16u, Bounds(target.place.space).end - target.place.address));
  }
  const bool bytes_wanted = invocation.raw || !invocation.output_path.empty();
  if (target.type->kind != TypeKind::kBytes && !bytes_wanted) {
    plan.typed = true;
  } else if (!target.place.sfrs.empty()) {
    throw UsageError(target.name + " is an SFR pair: read its SFRs by address for bytes");
  }
  plan.targets.push_back(std::move(target));
}

void PlanWrite(const Invocation& invocation, const SymbolTable& program, Plan& plan) {
  const auto& ops = invocation.operands;
  TakenTarget taken = TakeTarget(ops, 0, program);
  Target& target = taken.target;
  if (target.place.space == Space::kCode) {
    throw UsageError("code memory cannot be written through the resident");
  }
  if (ops.size() <= taken.used) throw UsageError("write wants a value or at least one byte");
  const bool typed = target.type->kind != TypeKind::kBytes && !taken.address;
  if (typed) {
    if (ops.size() != taken.used + 1) {
      throw UsageError(
          fmt::format("write {} takes one value (a {}); for bytes write {}:COUNT BYTE...",
                      target.name, target.type->Name(), target.name));
    }
    plan.typed = true;
    plan.value = ops[taken.used];
    // A value that does not fit the type is refused before the line is opened.
    static_cast<void>(EncodeValue(*target.type, plan.value, Bytes(target.type->size)));
  } else {
    for (size_t i = taken.used; i < ops.size(); ++i) {
      const auto value = ParseHex(ops[i]);
      if (!value || *value > 0xFF) throw UsageError(ops[i] + " is not a byte (00h-FFh)");
      plan.data.push_back(static_cast<uint8_t>(*value));
    }
    if (!taken.address && target.name.find(':') != std::string::npos &&
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
  plan.targets.push_back(std::move(target));
}

void PlanWatch(const Invocation& invocation, const SymbolTable& program, Plan& plan) {
  const auto& ops = invocation.operands;
  for (size_t at = 0; at < ops.size();) {
    TakenTarget taken = TakeTarget(ops, at, program);
    at += taken.used;
    const bool counted = taken.target.name.find(':') != std::string::npos;
    if (!counted && ReadsAsCount(ops, at)) {
      RefuseCountThatIsAName(ops[at], program);
      ApplyCount(taken.target, ops[at++]);
    }
    plan.targets.push_back(std::move(taken.target));
  }
}

}  // namespace tarlek::mon
