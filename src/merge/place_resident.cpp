#include "merge/place_resident.h"

#include "base/hex_text.h"
#include "base/input_file.h"
#include "base/resident_facts.h"

namespace tarlek {
namespace {

void WriteStartAddressError(const ProgramState& state, Console& console,
                            std::string_view complaint) {
  console.Write("ERROR - Tarlek start address ");
  console.Write(HexByte(state.Image[1]));
  console.Write(HexByte(state.Image[2]));
  console.WriteLine(complaint);
}

}  // namespace

bool PlaceResidentImage(ProgramState& state, Console& console, std::span<const uint8_t> file) {
  state.ResidentStart = static_cast<uint16_t>(state.Image[1] << 8);
  if (file.size() >= 2) state.ResidentLength = static_cast<uint16_t>(file[0] | file[1] << 8);
  const uint32_t length = state.ResidentLength;

  // Length field, N flags and N code bytes: exactly 2N + 2 bytes, and no
  // more than the buffer the file is read into holds whole.
  if (file.size() < 2 || file.size() >= kResidentBufferSize || file.size() != 2 * length + 2) {
    console.WriteLine("ERROR - File Tarlek.bin is corrupted!");
    return false;
  }
  // The include file's hooks: the long call at 0000h, the long jump at the
  // serial vector.
  if (state.Image[resident::kHookReset] != resident::kOpcodeLcall ||
      state.Image[resident::kHookSerial] != resident::kOpcodeLjmp) {
    console.WriteLine("ERROR - File Tarlek.inc is not included into source program!");
    return false;
  }
  if (state.Image[2] != 0x00) {
    WriteStartAddressError(state, console, "h is bad - use address xx00h only !");
    return false;
  }
  // The resident may begin right above the program, never on its last byte.
  if (state.FirstFreeAddress() > state.ResidentStart) {
    WriteStartAddressError(state, console, "h is under end address of Your program !");
    return false;
  }
  // FFFDh..FFFFh always stay outside the resident.
  if (uint32_t{state.ResidentStart} + length + 2 > 0xFFFF) {
    console.WriteLine("ERROR - Tarlek start address is to high - Tarlek exceeds address FFFFh !");
    return false;
  }

  state.ResidentPage = static_cast<uint8_t>(state.ResidentStart >> 8);
  const std::span<const uint8_t> flags = file.subspan(2, length);
  const std::span<const uint8_t> code = file.subspan(2 + length, length);
  uint8_t* target = &state.Image[state.ResidentStart];
  for (uint32_t k = 0; k < length; ++k) {
    // A flagged byte is the high byte of an address inside the resident.
    target[k] = flags[k] == 0 ? code[k] : static_cast<uint8_t>(code[k] + state.ResidentPage);
  }
  state.ResidentEnd = static_cast<uint16_t>(state.ResidentStart + length - 1);
  return true;
}

bool PlaceResident(ProgramState& state, Console& console) {
  InputFile file;
  if (!file.Open(kResidentFileName)) {
    console.WriteLine("ERROR - File Tarlek.bin cannot be found !");
    return false;
  }
  // One byte more than the largest valid file: a longer file never fits whole.
  const ssize_t count = file.ReadUpTo(state.ResidentBuffer.data(), state.ResidentBuffer.size());
  if (count < 0) {
    console.WriteLine("ERROR - File Tarlek.bin cannot be read !");
    return false;
  }
  return PlaceResidentImage(
      state, console,
      std::span<const uint8_t>(state.ResidentBuffer.data(), static_cast<size_t>(count)));
}

}  // namespace tarlek
