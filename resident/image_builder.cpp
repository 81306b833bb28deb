#include "image_builder.h"

namespace tarlek {

ResidentBuild BuildResidentImage(std::span<const uint8_t> at0000h,
                                 std::span<const uint8_t> at0100h) {
  ResidentBuild build;
  if (at0000h.size() != at0100h.size()) {
    build.result = ResidentBuild::Result::kLengthsDiffer;
    return build;
  }
  const size_t length = at0000h.size();
  if (length > kMaxResidentLength) {
    build.result = ResidentBuild::Result::kTooLong;
    return build;
  }

  build.file.resize(2 + 2 * length);
  build.file[0] = static_cast<uint8_t>(length & 0xFF);
  build.file[1] = static_cast<uint8_t>(length >> 8);
  uint8_t* flags = &build.file[2];
  uint8_t* code = &build.file[2 + length];
  for (size_t k = 0; k < length; ++k) {
    const uint8_t low = at0000h[k];
    const uint8_t high = at0100h[k];
    code[k] = low;
    if (high == low) {
      flags[k] = 0x00;
    } else if (high == static_cast<uint8_t>(low + 1)) {
      flags[k] = 0x01;
    } else {
      build.refused_offsets.push_back(static_cast<uint32_t>(k));
    }
  }
  if (!build.refused_offsets.empty()) {
    build.result = ResidentBuild::Result::kNotRelocatable;
    build.file.clear();
  }
  return build;
}

}  // namespace tarlek
