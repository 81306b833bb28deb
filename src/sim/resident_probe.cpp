#include "sim/resident_probe.h"

#include <fmt/format.h>

#include <array>

#include "base/address_space.h"
#include "base/resident_facts.h"
#include "protocol/frame.h"

namespace tarlek::sim {
namespace {

// How far into the init the baud generator's set-up is looked for.
constexpr size_t kInitWindow = 48;

// The identify answer's fields: protocol (2 or later), version, page,
// crystal, baud rate, largest payload, commands offered.
bool LooksLikeIdentify(std::span<const uint8_t> at, uint8_t page, uint32_t& clock, uint32_t& baud) {
  const auto info = protocol::ParseIdentify(at);
  if (!info || info->protocol < 2 || info->protocol > 15 || info->page != page) return false;
  if (info->major > 99 || info->minor > 99 || info->patch > 99) return false;
  // An 8051 runs from at most some tens of MHz, and a baud rate takes at
  // least a few dozen clocks a bit.
  if (info->clock_hz < 100'000 || info->clock_hz > 100'000'000 || info->baud < 50 ||
      info->baud > info->clock_hz / 16) {
    return false;
  }
  clock = info->clock_hz;
  baud = info->baud;
  // identify is always offered.
  return info->Offers(protocol::kIdentify) && info->largest_payload != 0;
}

// Instructions that set up a baud timer: an opcode that writes a direct
// address (MOV dir,#; MOV dir,A; ORL/ANL dir,#) or sets a bit (SETB bit), and
// the SFR or bit of timer 1 or timer 2 it names.
struct Marker {
  uint8_t opcode;
  uint8_t operand;
  int timer;
};
constexpr std::array kMarkers = {
    // Timer 2: T2CON, RCAP2L, RCAP2H, TL2, TH2; SETB TR2.
    Marker{0x75, 0xC8, 2}, Marker{0x75, 0xCA, 2}, Marker{0x75, 0xCB, 2}, Marker{0x75, 0xCC, 2},
    Marker{0x75, 0xCD, 2}, Marker{0xF5, 0xC8, 2}, Marker{0xF5, 0xCA, 2}, Marker{0xF5, 0xCB, 2},
    Marker{0x43, 0xC8, 2}, Marker{0xD2, 0xCA, 2},
    // Timer 1: TMOD, TL1, TH1; SETB TR1.
    Marker{0x75, 0x89, 1}, Marker{0x43, 0x89, 1}, Marker{0x53, 0x89, 1}, Marker{0x75, 0x8B, 1},
    Marker{0x75, 0x8D, 1}, Marker{0xF5, 0x8D, 1}, Marker{0xD2, 0x8E, 1}};

int BaudTimer(std::span<const uint8_t> init) {
  for (size_t i = 0; i + 1 < init.size(); ++i) {
    for (const Marker& m : kMarkers) {
      if (init[i] == m.opcode && init[i + 1] == m.operand) return m.timer;
    }
  }
  return 0;
}

}  // namespace

std::optional<ResidentBuild> ProbeResident(std::span<const uint8_t> code, std::string* why) {
  auto refuse = [why](std::string text) {
    if (why != nullptr) *why = std::move(text);
    return std::nullopt;
  };
  if (code.size() < kAddressSpaceSize) return refuse("the program's image is not 64 KB");
  // The hook block's long call: LCALL page:ENTRY_INIT.
  constexpr size_t kCall = resident::kHookReset;
  if (code[kCall] != resident::kOpcodeLcall || code[kCall + 2] != resident::kEntryInit ||
      code[kCall + 1] == 0) {
    return refuse(
        "the program has no long call to a resident's page at 0000h: merge the resident into it "
        "first (tarlek PROG.hex)");
  }
  ResidentBuild build;
  build.page = code[kCall + 1];
  const size_t start = size_t{build.page} << 8;
  // The resident's init entry: LJMP init.
  const size_t entry = start + resident::kEntryInit;
  if (code[entry] != resident::kOpcodeLjmp) {
    return refuse(fmt::format(
        "the long call at 0000h names page {:02X}h, but no resident is there: merge the "
        "resident into the program first (tarlek PROG.hex)",
        build.page));
  }
  bool found = false;
  constexpr size_t kLength = protocol::kIdentifyLength;
  for (size_t at = start; at + kLength <= code.size() && !found; ++at) {
    found = LooksLikeIdentify(code.subspan(at, kLength), build.page, build.clock_hz, build.baud);
  }
  if (!found) {
    return refuse(fmt::format(
        "the resident at {:04X}h holds no identify answer that tarlek-sim knows: give --cpu and "
        "--clock",
        start));
  }
  const size_t init = size_t{code[entry + 1]} << 8 | code[entry + 2];
  build.timer = BaudTimer(code.subspan(init, std::min(kInitWindow, code.size() - init)));
  return build;
}

const char* CpuForTimer(int timer) { return timer == 2 ? "8052" : "8051"; }

}  // namespace tarlek::sim
