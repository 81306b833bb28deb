#include "merge/hex_reader.h"

#include "base/intel_hex.h"

namespace tarlek {

bool ReadHexFile(ProgramState& state, Console& console, const char* name) {
  state.ProgramEndIsLast = true;
  return ReadHexLenient(console, name, state.Image, state.ProgramEnd);
}

}  // namespace tarlek
