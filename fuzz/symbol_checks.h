// What every symbol table must hold to, whichever reader made it: checked by
// the .cdb and the map targets alike. A broken rule aborts, for libFuzzer to
// keep the input.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/failure.h"
#include "mon/symbols/symbol_table.h"
#include "mon/symbols/target.h"

namespace tarlek::fuzz {

[[noreturn]] inline void Fail(const char* target, const char* what, const std::string& name) {
  std::fprintf(stderr, "%s: %s %s\n", target, what, name.c_str());
  std::abort();
}

// Every name left out says why; the first names resolve to a place, or are
// refused as a usage error says.
inline void CheckNames(const char* target, const mon::SymbolTable& table) {
  for (const auto& [name, why] : table.left_out()) {
    if (why.empty() || table.Missing(name).empty()) {
      Fail(target, "a name left out without a why:", name);
    }
  }
  size_t resolved = 0;
  for (const mon::Variable& v : table.variables()) {
    if (++resolved > 64) break;
    try {
      static_cast<void>(mon::ResolveName(table, v.name));
    } catch (const Failure& failure) {
      if (failure.status() != kExitUsage)
        Fail(target, "a name fails otherwise than usage:", v.name);
    }
  }
}

}  // namespace tarlek::fuzz
