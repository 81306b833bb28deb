#include "mon/commands/write_report.h"

#include <fmt/format.h>

#include "base/resident_facts.h"

namespace tarlek::mon {
namespace {

// The SFRs whose writes the resident skips or whose bits it may keep, with
// the names of those bits (resident/facts.txt).
const resident::SfrFacts* FindSfr(uint32_t address) {
  for (const auto& sfr : resident::kSfrs) {
    if (sfr.address == address) return &sfr;
  }
  return nullptr;
}

std::string BitNames(const resident::SfrFacts* sfr, uint8_t mask) {
  std::string names;
  for (int bit = 7; bit >= 0; --bit) {
    if (((mask >> bit) & 1) == 0) continue;
    const std::string_view name =
        sfr != nullptr ? sfr->bits[static_cast<size_t>(7 - bit)] : std::string_view();
    if (!names.empty()) names += ", ";
    names += !name.empty() ? std::string(name) : fmt::format("bit {}", bit);
  }
  return names;
}

}  // namespace

protocol::Bytes KeptBits(int version, uint32_t address, std::span<const uint8_t> asked,
                         std::span<const uint8_t> reported) {
  if (version == 3) return protocol::Bytes(reported.begin(), reported.end());
  protocol::Bytes kept(asked.size());
  for (size_t i = 0; i < asked.size(); ++i) {
    const uint32_t at = address + static_cast<uint32_t>(i);
    if (at == resident::kSfrSp || at == resident::kSfrSbuf) kept[i] = 0xFF;
    if (at == resident::kSfrIe && (asked[i] & resident::kIeEs) == 0) kept[i] = resident::kIeEs;
  }
  return kept;
}

uint8_t ResidentStackBytes(int version) { return version == 3 ? resident::kStackBytes : 16; }

std::string KeptNotes(uint32_t address, std::span<const uint8_t> asked,
                      std::span<const uint8_t> back, std::span<const uint8_t> kept) {
  std::string notes;
  for (size_t i = 0; i < kept.size() && i < asked.size() && i < back.size(); ++i) {
    // A kept bit that was asked as it was needs no word.
    const auto differs = static_cast<uint8_t>(kept[i] & (asked[i] ^ back[i]));
    if (kept[i] != 0xFF && differs == 0) continue;
    const uint32_t at = address + static_cast<uint32_t>(i);
    const resident::SfrFacts* sfr = FindSfr(at);
    const std::string name =
        sfr != nullptr ? fmt::format("{} ({:02X}h)", sfr->name, at) : fmt::format("{:02X}h", at);
    if (kept[i] == 0xFF) {
      notes +=
          fmt::format("note: the resident skipped the write to {}, to keep its link alive\n", name);
    } else {
      notes +=
          fmt::format("note: the resident kept {} of {} as they were, to keep its link alive\n",
                      BitNames(sfr, kept[i]), name);
    }
  }
  return notes;
}

bool KeptExplains(std::span<const uint8_t> asked, std::span<const uint8_t> back,
                  std::span<const uint8_t> kept) {
  for (size_t i = 0; i < asked.size() && i < back.size(); ++i) {
    const uint8_t mask = i < kept.size() ? kept[i] : 0;
    if (((asked[i] ^ back[i]) & ~mask) != 0) return false;
  }
  return true;
}

std::optional<std::string> StackExplanation(uint32_t address, std::span<const uint8_t> asked,
                                            std::span<const uint8_t> back, uint8_t sp,
                                            uint8_t stack_bytes) {
  bool any = false;
  for (size_t i = 0; i < asked.size() && i < back.size(); ++i) {
    if (asked[i] == back[i]) continue;
    const auto at = static_cast<uint8_t>(address + i);
    if (static_cast<uint8_t>(at - sp - 1) >= stack_bytes) return std::nullopt;
    any = true;
  }
  if (!any) return std::nullopt;
  return fmt::format(
      "iram {:02X}h-{:02X}h is the resident's own stack while it answers (the {} bytes above the "
      "program's SP, {:02X}h): it skipped the write there",
      static_cast<uint8_t>(sp + 1), static_cast<uint8_t>(sp + stack_bytes), stack_bytes, sp);
}

}  // namespace tarlek::mon
