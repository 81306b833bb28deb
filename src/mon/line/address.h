// Memory spaces, addresses and counts as 8051 developers write them:
// hexadecimal, with or without 0x or a trailing h (8000h, 0x8000, 8000).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/frame.h"

namespace tarlek::mon {

using protocol::Space;

// A number's digits and whether they are marked hexadecimal: by a 0x prefix
// or, where allowed, an h suffix (either letter case), as in 0x8000 or 8000h.
struct MarkedDigits {
  std::string_view digits;
  bool hex = false;
};
MarkedDigits SplitHexMark(std::string_view text, bool suffix_allowed = true);

// A hexadecimal number: digits with an optional 0x prefix or h suffix (either
// letter case). nullopt for anything else or a value above FFFFFFh.
std::optional<uint32_t> ParseHex(std::string_view text);

// "code", "iram", "sfr", "xram" in any letter case.
std::optional<Space> ParseSpace(std::string_view text);
const char* SpaceName(Space space);

// The addresses a space has: code and xram 0000h..FFFFh, iram 00h..FFh,
// sfr 80h..FFh. first is the lowest, end one past the highest.
struct SpaceBounds {
  uint32_t first;
  uint32_t end;
};
SpaceBounds Bounds(Space space);

// An address as the space writes it: 4 digits for code and xram, 2 else.
std::string FormatAddress(Space space, uint32_t address);

// Code addresses from first to last, both included (dump --range A-B).
struct CodeRange {
  uint32_t first = 0;
  uint32_t last = 0;
};
std::optional<CodeRange> ParseRange(std::string_view text);

}  // namespace tarlek::mon
