#include "merge/bin_writer.h"

#include "base/output_file.h"

namespace tarlek {

bool WriteBinFile(const ProgramState& state, Console& console, const char* name) {
  const size_t size = uint32_t{state.ResidentEnd} + 1;
  return WriteOutputFile(console, "BIN", name, size,
                         [&](OutputFile& file) { file.Write(state.Image.data(), size); });
}

}  // namespace tarlek
