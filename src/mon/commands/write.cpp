#include <fmt/format.h>

#include <nlohmann/json.hpp>
#include <optional>

#include "base/failure.h"
#include "base/resident_facts.h"
#include "mon/commands/commands.h"
#include "mon/commands/shared.h"
#include "mon/commands/write_report.h"
#include "mon/output/format.h"
#include "mon/symbols/value.h"

namespace tarlek::mon {

using protocol::Bytes;

namespace {

// A write and what was read back after it.
struct ReadBack {
  Bytes reported;  // what the resident said of the SFRs written (Link::Write)
  Bytes back;
  bool confirmed = false;  // back holds what was written
};

// What differs between writing a typed value and writing bytes: how what was
// written and what was read back are compared and told.
class WriteForm {
 public:
  WriteForm() = default;
  virtual ~WriteForm() = default;
  WriteForm(const WriteForm&) = delete;
  WriteForm& operator=(const WriteForm&) = delete;

  // What follows "wrote": "counter = 5", "01 02 at iram 30h".
  virtual std::string Written() const = 0;
  // What a failure names: "counter (iram 30h)", "iram 30h".
  virtual std::string Subject() const = 0;
  virtual bool Holds(const Bytes& back) const = 0;
  // Bytes written or read back, as this form shows them.
  virtual std::string Shown(const Bytes& bytes) const = 0;
  // The line of --json; result is null for a write not read back.
  virtual std::string Json(const ReadBack* result) const = 0;
  // Lines for standard error after the line that tells the write; empty
  // when there are none.
  virtual std::string Notes(const ReadBack& /*result*/) const { return {}; }
  // Whether Notes explain every difference an SFR read back with.
  virtual bool NotesExplain(const ReadBack& /*result*/) const { return false; }
  // Why what was read back differs, as the line of the failure; nullopt when
  // this form cannot tell.
  virtual std::optional<std::string> Why(const ReadBack& /*result*/, Link& /*link*/,
                                         const protocol::IdentifyInfo& /*info*/) const {
    return std::nullopt;
  }
};

// A value of the target's type; compared as the values the bytes decode to.
class TypedForm : public WriteForm {
 public:
  TypedForm(const Target& target, const Bytes& bytes, bool hex)
      : target_(target),
        type_(*target.type),
        wanted_(DecodeValue(type_, bytes)),
        bytes_(bytes),
        hex_(hex) {}

  std::string Written() const override {
    return fmt::format("{} = {}", target_.name, FormatValue(type_, wanted_, hex_));
  }
  std::string Subject() const override {
    return fmt::format("{} ({})", target_.name, PlaceText(target_.place));
  }
  bool Holds(const Bytes& back) const override { return DecodeValue(type_, back) == wanted_; }
  std::string Shown(const Bytes& bytes) const override {
    return FormatValue(type_, DecodeValue(type_, bytes), hex_);
  }
  std::string Json(const ReadBack* result) const override {
    nlohmann::ordered_json j = TargetJson(target_, wanted_, bytes_);
    if (result == nullptr) {
      j["checked"] = false;
    } else {
      j["read_back"] = DecodeValue(type_, result->back);
      j["confirmed"] = result->confirmed;
    }
    return j.dump() + "\n";
  }

 private:
  const Target& target_;
  const Type& type_;
  const nlohmann::ordered_json wanted_;
  const Bytes& bytes_;
  bool hex_;
};

// Bytes from the target's address; compared byte for byte. The notes tell
// the SFR bits the resident kept, and a failure in internal RAM that lies in
// the resident's stack says so.
class BytesForm : public WriteForm {
 public:
  BytesForm(const Target& target, const Bytes& data, int version)
      : target_(target), data_(data), version_(version) {}

  std::string Written() const override {
    return fmt::format("{} at {}", ByteList(data_), Subject());
  }
  std::string Subject() const override { return PlaceText(target_.place); }
  bool Holds(const Bytes& back) const override { return back == data_; }
  std::string Shown(const Bytes& bytes) const override { return ByteList(bytes); }
  std::string Json(const ReadBack* result) const override {
    nlohmann::json j = BytesJson(target_, data_);
    if (result == nullptr) {
      j["checked"] = false;
    } else {
      j["read_back"] = result->back;
      j["confirmed"] = result->confirmed;
      if (sfr()) j["kept"] = Kept(*result);
    }
    return j.dump() + "\n";
  }
  std::string Notes(const ReadBack& result) const override {
    return KeptNotes(target_.place.address, data_, result.back, Kept(result));
  }
  bool NotesExplain(const ReadBack& result) const override {
    return KeptExplains(data_, result.back, Kept(result));
  }
  std::optional<std::string> Why(const ReadBack& result, Link& link,
                                 const protocol::IdentifyInfo& info) const override {
    if (target_.place.space != Space::kIram || !info.Offers(protocol::kReadSfr)) {
      return std::nullopt;
    }
    const uint8_t sp = link.Read(Space::kSfr, resident::kSfrSp, 1).front();
    return StackExplanation(target_.place.address, data_, result.back, sp,
                            ResidentStackBytes(version_));
  }

 private:
  bool sfr() const { return target_.place.space == Space::kSfr; }
  Bytes Kept(const ReadBack& result) const {
    return sfr() ? KeptBits(version_, target_.place.address, data_, result.reported) : Bytes{};
  }

  const Target& target_;
  const Bytes& data_;
  int version_;
};

// Writes bytes at the target and, unless --no-check, reads them back: one
// that does not hold what was written is written once more (a write cut short
// after its address check may have written part of its bytes; writing again
// is safe). An SFR that reads back otherwise is no failure: ports read their
// pins, flags change under the program.
int WriteAndCheck(const Plan& plan, Link& link, Io& io, const protocol::IdentifyInfo& info,
                  const Target& target, const Bytes& bytes, const WriteForm& form) {
  const Invocation& inv = plan.invocation;
  const Space space = target.place.space;
  if (inv.no_check) {
    // The resident's answer says it took every byte; what the memory holds
    // afterwards is the program's business.
    WriteTarget(link, target, bytes);
    io.out(inv.json ? form.Json(nullptr)
                    : fmt::format("wrote {} (not read back)\n", form.Written()));
    return kExitOk;
  }
  ReadBack result;
  for (int round = 0; round < 2; ++round) {
    result.reported = WriteTarget(link, target, bytes);
    result.back = ReadTarget(link, target);
    if (form.Holds(result.back) || space == Space::kSfr) break;
  }
  result.confirmed = form.Holds(result.back);
  if (inv.json) {
    io.out(form.Json(&result));
  } else {
    io.out(result.confirmed
               ? fmt::format("wrote {}, read back the same\n", form.Written())
               : fmt::format("wrote {}, read back {}\n", form.Written(), form.Shown(result.back)));
    if (const std::string notes = form.Notes(result); !notes.empty()) io.err(notes);
  }
  if (result.confirmed) return kExitOk;
  if (space == Space::kSfr) {
    if (!inv.quiet && !form.NotesExplain(result)) {
      io.err(
          "note: some SFRs read back otherwise than written (port pins, timer and interrupt "
          "flags)\n");
    }
    return kExitOk;
  }
  if (auto why = form.Why(result, link, info)) throw Failure(kExitFailure, *why);
  throw Failure(kExitFailure,
                fmt::format("{} does not hold what was written: {} read back as {}", form.Subject(),
                            form.Shown(bytes), form.Shown(result.back)));
}

}  // namespace

int DoWrite(const Plan& plan, Link& link, Io& io) {
  const auto info = CheckedIdentify(link, plan, io);
  const Target& target = plan.targets.front();
  const Space space = target.place.space;
  RequireCommand(info, protocol::WriteCommand(space));
  const bool read_modify_write = plan.typed && target.type->kind == TypeKind::kBitField;
  if (!plan.invocation.no_check || read_modify_write) {
    RequireCommand(info, protocol::ReadCommand(space));
  }
  if (!plan.typed) {
    return WriteAndCheck(plan, link, io, info, target, plan.data,
                         BytesForm(target, plan.data, link.version()));
  }
  const Type& type = *target.type;
  const Bytes old = read_modify_write ? ReadTarget(link, target) : Bytes(type.size);
  const Bytes bytes = EncodeValue(type, plan.value, old);
  return WriteAndCheck(plan, link, io, info, target, bytes,
                       TypedForm(target, bytes, plan.invocation.hex));
}

}  // namespace tarlek::mon
