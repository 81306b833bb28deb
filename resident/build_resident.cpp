// Build tool: makes the resident image file from the resident assembled at
// 0000h and at 0100h (two Intel HEX files).
//
//   tarlek_build_resident AT0000H.hex AT0100H.hex OUTPUT
//
// Exit status 0 when OUTPUT has been written; otherwise 1 after one or more
// "ERROR - " lines on standard output, and OUTPUT is left as it was.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "base/console.h"
#include "base/hex_text.h"
#include "base/intel_hex.h"
#include "base/output_file.h"
#include "image_builder.h"

namespace {

using tarlek::Console;
using tarlek::ResidentBuild;

// One build as read: its code memory and the highest address it gave.
struct Build {
  tarlek::CodeImage image{};
  uint16_t end = 0;
};

std::string Hex8(uint8_t value) { return std::string(tarlek::HexByte(value)); }

std::string Hex16(uint32_t value) {
  return Hex8(static_cast<uint8_t>(value >> 8)) + Hex8(static_cast<uint8_t>(value & 0xFF));
}

// Loads one build; its code starts at origin. False (after an error line)
// when the file cannot be read or holds nothing from origin on.
bool LoadBuild(Build& build, Console& console, const char* name, uint32_t origin) {
  if (!tarlek::ReadHexLenient(console, name, build.image, build.end)) return false;
  if (build.end < origin) {
    console.WriteLine("ERROR - " + std::string(name) + " holds no code from " + Hex16(origin) +
                      "h on !");
    return false;
  }
  return true;
}

int Run(Console& console, const char* low_name, const char* high_name, const char* output) {
  auto low = std::make_unique<Build>();
  auto high = std::make_unique<Build>();
  if (!LoadBuild(*low, console, low_name, 0x0000) ||
      !LoadBuild(*high, console, high_name, 0x0100)) {
    return 1;
  }
  const std::span<const uint8_t> at0000h(low->image.data(), low->end + 1u);
  const std::span<const uint8_t> at0100h(high->image.data() + 0x100, high->end - 0xFFu);

  const ResidentBuild build = tarlek::BuildResidentImage(at0000h, at0100h);
  switch (build.result) {
    case ResidentBuild::Result::kOk:
      break;
    case ResidentBuild::Result::kLengthsDiffer:
      console.WriteLine("ERROR - the two builds differ in length: " +
                        Hex16(static_cast<uint32_t>(at0000h.size())) + "h and " +
                        Hex16(static_cast<uint32_t>(at0100h.size())) + "h bytes !");
      return 1;
    case ResidentBuild::Result::kTooLong:
      console.WriteLine("ERROR - the resident is " + std::to_string(at0000h.size()) +
                        " bytes long, more than " + std::to_string(tarlek::kMaxResidentLength) +
                        " !");
      return 1;
    case ResidentBuild::Result::kNotRelocatable:
      for (uint32_t offset : build.refused_offsets) {
        console.WriteLine("ERROR - byte at offset " + Hex16(offset) + "h is " +
                          Hex8(at0000h[offset]) + "h at origin 0000h but " + Hex8(at0100h[offset]) +
                          "h at origin 0100h: it cannot be relocated by adding a page !");
      }
      return 1;
  }
  const bool written = tarlek::WriteOutputFile(
      console, "Resident", output, build.file.size(),
      [&](tarlek::OutputFile& file) { file.Write(build.file.data(), build.file.size()); });
  return written ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  tarlek::IgnoreWriteSignals();
  Console console(STDOUT_FILENO, false);
  if (argc != 4) {
    console.WriteLine("usage: tarlek_build_resident AT0000H.hex AT0100H.hex OUTPUT");
    return 2;
  }
  return Run(console, argv[1], argv[2], argv[3]);
}
