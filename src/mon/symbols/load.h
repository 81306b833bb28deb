// The program's symbols from the file -m names: its .cdb (with the relocated
// listings and the linker's map beside it) or its linker map.
#pragma once

#include <string>

#include "mon/symbols/symbol_table.h"

namespace tarlek::mon {

// -m FILE: a .cdb (by its extension, any letter case) or a linker map.
// Throws a usage Failure when it cannot be read or holds no symbols.
SymbolTable LoadSymbols(const std::string& path);

}  // namespace tarlek::mon
