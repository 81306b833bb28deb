#include "writers/bin_writer.h"

#include "writers/output_file.h"

namespace tarlek {

bool WriteBinFile(const ProgramState& state, Console& console, const char* name) {
  return WriteOutputFile(console, "BIN", name, [&](OutputFile& file) {
    file.Write(state.Image.data(), uint32_t{state.ResidentEnd} + 1);
  });
}

}  // namespace tarlek
