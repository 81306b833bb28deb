// Symbols from the memory map that SDCC's linker writes (NAME.map): each
// global with its address, the memory space its area lies in, and its size
// up to the next symbol of the area (or the area's end).
#pragma once

#include <string>
#include <string_view>

#include "mon/symbols/symbol_table.h"

namespace tarlek::mon {

// The symbols of every area whose space is known, as bytes: code areas
// (attribute CODE: HOME, CSEG, CONST, GSINIT..., XINIT), external RAM
// (attribute XDATA: XSEG, PSEG, XISEG, XABS), internal RAM (DSEG, OSEG,
// ISEG, IABS, SSEG, BSEG_BYTES, REG_BANK_n). Left out, each with a note that
// Program::Missing shows: the absolute symbols of .ABS. (__at variables,
// SFRs and sbits: the map does not say their space), bits (BSEG), and areas
// of unknown space. The linker's area bounds (s_, l_) and the debug names
// (with '$') are skipped. Both layouts are read: one symbol a line (-w) and
// several separated by '|'.
SymbolTable ParseMap(std::string_view text, const std::string& source);

}  // namespace tarlek::mon
