#include "merge/hex_writer.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/address_space.h"
#include "base/hex_text.h"

namespace tarlek {
namespace {

// Addresses first up to (not including) end, end at most 10000h.
struct Range {
  uint32_t first;
  uint32_t end;
};

// What the file holds: the program from 0000h through ProgramEnd, but never
// the resident's first address (after a binary input ProgramEnd is one past
// the program and may be just that address), then the resident. Nothing past
// FFFFh is ever taken.
void FileRanges(const ProgramState& state, Range (&ranges)[2]) {
  const uint32_t program_end =
      std::min<uint32_t>(uint32_t{state.ProgramEnd} + 1, state.ResidentStart);
  ranges[0] = {0, program_end};
  ranges[1] = {state.ResidentStart,
               std::min<uint32_t>(uint32_t{state.ResidentEnd} + 1, kAddressSpaceSize)};
}

}  // namespace

size_t HexFileSize(const ProgramState& state) {
  Range ranges[2];
  FileRanges(state, ranges);
  return HexRangeTextSize(ranges[0].first, ranges[0].end) +
         HexRangeTextSize(ranges[1].first, ranges[1].end) + kHexEndOfFile.size();
}

bool WriteHexFile(const ProgramState& state, Console& console, const char* name) {
  Range ranges[2];
  FileRanges(state, ranges);
  return WriteOutputFile(console, "INTEL HEX", name, HexFileSize(state), [&](OutputFile& file) {
    // A record never spans two ranges; an empty range writes nothing.
    for (const Range& range : ranges) {
      WriteHexRange(&state.Image[range.first], range.first, range.end, file);
    }
    file.Write(kHexEndOfFile.data(), kHexEndOfFile.size());
  });
}

}  // namespace tarlek
