#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "base/failure.h"
#include "base/resident_facts.h"
#include "mon/commands/commands.h"
#include "mon/commands/shared.h"
#include "mon/commands/write_report.h"
#include "mon/output/format.h"
#include "mon/symbols/value.h"

namespace tarlek::mon {

using nlohmann::json;
using protocol::Bytes;

namespace {

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
  const nlohmann::ordered_json wanted = DecodeValue(type, bytes);
  const bool hex = plan.invocation.hex;
  if (!check) {
    // The resident took every byte; what the variable holds afterwards is
    // the program's business.
    WriteTarget(link, target, bytes);
    if (plan.invocation.json) {
      nlohmann::ordered_json j = TargetJson(target, wanted, bytes);
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
  const nlohmann::ordered_json got = DecodeValue(type, back);
  const bool confirmed = got == wanted;
  if (plan.invocation.json) {
    nlohmann::ordered_json j = TargetJson(target, wanted, bytes);
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

}  // namespace

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
    const uint8_t sp = link.Read(Space::kSfr, resident::kSfrSp, 1).front();
    if (auto why = StackExplanation(item.address, plan.data, back, sp,
                                    ResidentStackBytes(link.version()))) {
      throw Failure(kExitFailure, *why);
    }
  }
  throw Failure(kExitFailure, fmt::format("{} does not hold what was written: {} read back as {}",
                                          where, ByteList(plan.data), ByteList(back)));
}

}  // namespace tarlek::mon
