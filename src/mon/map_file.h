// Symbols from the memory map that SDCC's linker writes (NAME.map): each
// global with its address and the memory space its area lies in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mon/address.h"

namespace tarlek::mon {

struct Symbol {
  std::string name;  // as in the map: C names carry a leading underscore
  Space space = Space::kIram;
  uint16_t address = 0;
};

// The symbols of every area whose space is known: code areas (attribute CODE,
// or HOME, CSEG, CONST, GSINIT...), external RAM (attribute XDATA: XSEG, PSEG,
// XISEG...), internal RAM (DSEG, OSEG, ISEG, IABS, SSEG, REG_BANK_n). Bit
// areas, absolute symbols and the linker's own area bounds (CABS: s_, l_)
// are left out.
std::vector<Symbol> ParseMap(std::string_view text);

class SymbolTable {
 public:
  SymbolTable() = default;
  explicit SymbolTable(std::vector<Symbol> symbols) : symbols_(std::move(symbols)) {}
  // Reads a map file; throws a usage Failure when it cannot be read.
  static SymbolTable Load(const std::string& path);

  // name as the map spells it, or a C name without its leading underscore.
  const Symbol* Find(std::string_view name) const;
  bool empty() const { return symbols_.empty(); }

 private:
  std::vector<Symbol> symbols_;
};

}  // namespace tarlek::mon
