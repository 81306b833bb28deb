#include "sim/resident_probe.h"

#include <fmt/format.h>

#include <array>

namespace tarlek::sim {
namespace {

constexpr uint8_t kLcall = 0x12;
constexpr uint8_t kLjmp = 0x02;
// How far into the init the baud generator's set-up is looked for.
constexpr size_t kInitWindow = 48;

uint32_t BigEndian(std::span<const uint8_t> bytes) {
  uint32_t value = 0;
  for (uint8_t b : bytes) value = value << 8 | b;
  return value;
}

// The identify answer's first 16 bytes: protocol (2 or later), version,
// page, crystal, baud rate, largest payload, commands offered.
bool LooksLikeIdentify(std::span<const uint8_t> at, uint8_t page, uint32_t& clock, uint32_t& baud) {
  if (at[0] < 2 || at[0] > 15 || at[4] != page) return false;
  if (at[1] > 99 || at[2] > 99 || at[3] > 99) return false;
  clock = BigEndian(at.subspan(5, 4));
  baud = BigEndian(at.subspan(9, 4));
  // An 8051 runs from at most some tens of MHz, and a baud rate takes at
  // least a few dozen clocks a bit.
  if (clock < 100'000 || clock > 100'000'000 || baud < 50 || baud > clock / 16) return false;
  // identify is always offered: bit 1 of the commands.
  return (at[15] & 0x02) != 0 && at[13] != 0;
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
  if (code.size() < 0x10000) return refuse("the program's image is not 64 KB");
  if (code[0] != kLcall || code[2] != 0 || code[1] == 0) {
    return refuse(
        "the program has no long call to a resident's page at 0000h: merge the resident into it "
        "first (tarlek PROG.hex)");
  }
  ResidentBuild build;
  build.page = code[1];
  const size_t start = size_t{build.page} << 8;
  if (code[start] != kLjmp) {
    return refuse(fmt::format(
        "the long call at 0000h names page {:02X}h, but no resident is there: merge the "
        "resident into the program first (tarlek PROG.hex)",
        build.page));
  }
  bool found = false;
  for (size_t at = start; at + 16 <= code.size() && !found; ++at) {
    found = LooksLikeIdentify(code.subspan(at, 16), build.page, build.clock_hz, build.baud);
  }
  if (!found) {
    return refuse(fmt::format(
        "the resident at {:04X}h holds no identify answer that tarlek-sim knows: give --cpu and "
        "--clock",
        start));
  }
  const size_t init = size_t{code[start + 1]} << 8 | code[start + 2];
  build.timer = BaudTimer(code.subspan(init, std::min(kInitWindow, code.size() - init)));
  return build;
}

const char* CpuForTimer(int timer) { return timer == 2 ? "8052" : "8051"; }

}  // namespace tarlek::sim
