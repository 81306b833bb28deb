// libFuzzer target for the reader of the linker's memory map (ParseMap). The
// fuzzer's bytes are the map's text. After every run:
//   - every symbol taken lies within its memory space, with at least one
//     byte;
//   - no name is both taken and left out, and a name left out says why;
//   - every name resolves to a place or says why not.
// Anything else (and any crash, overflow or hang) is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "mon/symbols/map_file.h"
#include "mon/symbols/symbol_table.h"
#include "mon/symbols/target.h"
#include "symbol_checks.h"

namespace {

using tarlek::mon::Variable;

[[noreturn]] void Fail(const char* what, const std::string& name) {
  tarlek::fuzz::Fail("fuzz_map", what, name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const tarlek::mon::SymbolTable program = tarlek::mon::ParseMap(text, "f.map");
  for (const Variable& v : program.variables()) {
    if (!v.type || v.type->size == 0) Fail("a symbol without a byte:", v.name);
    const auto bounds = tarlek::mon::Bounds(v.place.space);
    if (v.place.address < bounds.first || uint64_t{v.place.address} + v.type->size > bounds.end) {
      Fail("a symbol outside its memory space:", v.name);
    }
    if (program.left_out().contains(v.name) || program.left_out().contains("_" + v.name)) {
      Fail("a name both taken and left out:", v.name);
    }
  }
  tarlek::fuzz::CheckNames("fuzz_map", program);
  return 0;
}
