// What became of a write, told as it happened: the SFR bits the resident kept
// for its serial line (as a protocol 3 resident reports them, or as a
// protocol 2 resident is known to keep them), and internal RAM that is the
// resident's own stack while it answers, where writes are skipped.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "protocol/frame.h"

namespace tarlek::mon {

// The bytes above the program's SP that the resident of a protocol version
// uses as its stack while it answers (writes there are skipped).
uint8_t ResidentStackBytes(int version);

// One byte per SFR written from address: the bits the resident kept at their
// old value (FFh: the write was skipped). reported: a protocol 3 resident's
// answer (one byte per SFR); protocol 2 reports nothing, and its resident
// skips SP and SBUF and keeps IE's ES set.
protocol::Bytes KeptBits(int version, uint32_t address, std::span<const uint8_t> asked,
                         std::span<const uint8_t> reported);

// A note line (with its newline) for each SFR the resident skipped, or whose
// kept bits read back otherwise than asked; empty when none.
std::string KeptNotes(uint32_t address, std::span<const uint8_t> asked,
                      std::span<const uint8_t> back, std::span<const uint8_t> kept);

// Whether every bit that read back otherwise than asked is a kept one.
bool KeptExplains(std::span<const uint8_t> asked, std::span<const uint8_t> back,
                  std::span<const uint8_t> kept);

// When every internal RAM byte that read back otherwise than written lies in
// the resident's stack (stack_bytes above sp), the line that says so;
// nullopt otherwise.
std::optional<std::string> StackExplanation(uint32_t address, std::span<const uint8_t> asked,
                                            std::span<const uint8_t> back, uint8_t sp,
                                            uint8_t stack_bytes);

}  // namespace tarlek::mon
