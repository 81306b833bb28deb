// Code images on disk for dump and verify: Intel HEX (the addresses its
// records hold) and raw binary (from 0000h on).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/frame.h"

namespace tarlek::mon {

using protocol::Bytes;

// A run of bytes at consecutive code addresses.
struct Segment {
  uint32_t address = 0;
  Bytes data;
  bool operator==(const Segment&) const = default;
};

// Whether the path names a binary file (.bin, any letter case); anything
// else is taken as Intel HEX.
bool IsBinaryName(const std::string& path);

// Intel HEX text to the segments it holds, sorted, adjacent records joined.
// Checks record syntax and checksums, honours extended segment and linear
// address records (02, 04) and refuses data above FFFFh. Throws a Failure
// (usage) naming the line.
std::vector<Segment> ParseIntelHex(const std::string& text, const std::string& name);
// Records of at most 16 bytes, LF line ends, an end-of-file record.
std::string FormatIntelHex(const std::vector<Segment>& segments);

// Reads a file by its name's kind: HEX, or BIN as one segment from 0000h.
std::vector<Segment> ReadImageFile(const std::string& path);
// Writes a HEX file, or for a .bin name the bytes of one segment as they are.
void WriteImageFile(const std::string& path, const Segment& segment);

}  // namespace tarlek::mon
