#include "merge/bin_reader.h"

#include "base/input_file.h"

namespace tarlek {

// The byte at FFFFh never comes from a binary file.
constexpr size_t kMaxBinBytes = 0xFFFF;

bool ReadBinFile(ProgramState& state, Console& console, const char* name) {
  InputFile file;
  if (!file.Open(name)) {
    console.Write("ERROR - BIN input file ");
    console.WriteQuoted(name);
    console.WriteLine(" cannot be opened !");
    return false;
  }
  ssize_t count = file.ReadUpTo(state.Image.data(), kMaxBinBytes);
  if (count < 0) {
    console.Write("ERROR - BIN input file ");
    console.WriteQuoted(name);
    console.WriteLine(" cannot be read !");
    return false;
  }
  state.ProgramEnd = static_cast<uint16_t>(count);
  state.ProgramEndIsLast = false;
  return true;
}

}  // namespace tarlek
