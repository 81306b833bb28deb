// What a merged program's resident was built for, read from the program
// itself: the page its long call at 0000h names, the crystal and baud rate of
// the resident's identify answer, and the timer its init sets up as the baud
// generator. tarlek-sim chooses the simulator's CPU model and clock from it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tarlek::sim {

struct ResidentBuild {
  uint8_t page = 0;
  uint32_t clock_hz = 0;
  uint32_t baud = 0;
  int timer = 0;  // 1 or 2; 0 when the init shows neither
  bool operator==(const ResidentBuild&) const = default;
};

// code: the program's 64 KB of code memory. Returns the build, or nullopt
// with why in *why (one line, for the user).
std::optional<ResidentBuild> ProbeResident(std::span<const uint8_t> code, std::string* why);

// The s51 CPU model for a baud timer: "8051" for timer 1 (s51's 8052 models
// run timer 1's baud rates twice too fast), "8052" for timer 2.
const char* CpuForTimer(int timer);

}  // namespace tarlek::sim
