// SDCC's debug information (NAME.cdb, written by the linker when the program
// is compiled and linked with --debug): the records that matter for watching
// variables.
//
//   M:module                          the records after it come from module
//   S:scope$name$level$block(TYPE),SPACE,on_stack,stack[,[regs]]
//   T:Fmodule$tag[({offset}S:S$member$0_0$0(TYPE),Z,0,0)...]
//   L:scope$name$level$block:ADDRESS  (hexadecimal, from the linker)
//
// scope is G (global), Fmodule (file static) or Lmodule.function (declared
// in a function). TYPE is ({size}DECLARATOR,...,SPECIFIER:SIGN): declarators
// DAnd (array of n), DF (function), DG, DC, DX, DD, DI, DP (generic, code,
// xdata, data, idata, pdata pointer); specifiers SC, SS, SI, SL, SF, SV, SX
// (sbit), SBoffset$width (bit-field), STtag (struct or union), and none for a
// C99 bool; SIGN is S or U. An integer's size is the one in braces (SDCC
// writes long long as SI of 8 bytes). SPACE is a letter: E data, G idata,
// F xdata, P pdata, C and D code, H bit, I sfr, J sbit; R registers, B and A
// stacks.
//
// Every other record (functions, C and assembly line numbers, the linker's
// end addresses) is skipped. Assembly modules (sdas8051 -y) give symbols
// without types: they become bytes, as a map's do.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "mon/symbols/symbol_table.h"

namespace tarlek::mon {

// The variables of a .cdb's text. SDCC's linker writes no L: records for
// bits (the BSEG area): relocated gives their addresses by key
// (G$flag$0_0$0), as the relocated listings (MODULE.rst) show them. Throws a
// usage Failure naming source and the line for a record it cannot read.
SymbolTable ParseCdb(std::string_view text, const std::string& source,
                     const std::map<std::string, uint32_t>& relocated = {});

// The modules (M: records) of a .cdb's text.
std::vector<std::string> CdbModules(std::string_view text);

// The bit addresses a relocated listing (MODULE.rst, sdcc with --debug)
// gives the symbols of its BSEG area: "   000001    60 G$flag2$0_0$0==.".
std::map<std::string, uint32_t> ListingBits(std::string_view text);

}  // namespace tarlek::mon
