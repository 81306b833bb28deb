// What several commands share: the JSON of a target's bytes or value, a
// file name in JSON, the text of a place, a target's bytes read and written
// where its place says, and dump's and verify's progress line.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>

#include "mon/commands/plan.h"
#include "mon/line/link.h"
#include "mon/output/io.h"
#include "mon/symbols/target.h"

namespace tarlek::mon {

// {"space", "address", "bytes"[, "symbol"]}: the symbol is the target's
// name, unless the operands gave an address.
nlohmann::json BytesJson(const Target& target, const protocol::Bytes& bytes);
// {"symbol", "type", "space", "address", "value", "bytes"}
nlohmann::ordered_json TargetJson(const Target& target, const nlohmann::ordered_json& value,
                                  const protocol::Bytes& bytes);
// A file name as "file": the name itself when it is UTF-8. A name that is not
// (Linux allows any bytes) has its stray bytes shown as U+FFFD there, and the
// name's bytes, exactly, as "file_bytes".
void PutFileName(nlohmann::json& j, const std::string& name);
// "iram 30h"
std::string PlaceText(const Place& place);
// The bytes of a target, each where its place says.
protocol::Bytes ReadTarget(Link& link, const Target& target);
// An SFR pair is written high byte first, as the 8051's own code does for
// timers. Returns what the resident reported of SFRs, as Link::Write does
// (one byte per SFR from a protocol 3 resident; empty otherwise).
protocol::Bytes WriteTarget(Link& link, const Target& target, const protocol::Bytes& bytes);

// A progress line on standard error: bytes, rate, time left.
class ProgressBar {
 public:
  ProgressBar(Io& io, size_t total) : io_(io), total_(total), start_(Clock::now()) {}
  void Update(size_t done);
  void Finish();

 private:
  Io& io_;
  size_t total_;
  Clock::time_point start_;
};

}  // namespace tarlek::mon
