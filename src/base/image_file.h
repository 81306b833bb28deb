// Code images on disk for dump and verify: Intel HEX (the addresses its
// records hold) and raw binary (from 0000h on).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarlek {

class OutputFile;
using Bytes = std::vector<uint8_t>;

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
// A HEX file, or for a .bin name the bytes of one segment as they are, written
// by the merge tool's rules (base/output_file.h): a regular file is replaced
// whole and keeps its mode, a link keeps pointing at the replaced file, a
// device or FIFO is written in place, a file the user may not write is
// refused. Opened, with every check made, before the bytes are read from the
// resident, so that a refused name costs no reading; an object destroyed
// uncommitted (Ctrl-C, a failed read) leaves the old file as it was.
class ImageFileWriter {
 public:
  // Opens path for count bytes from address. Throws a Failure (status 1),
  // "cannot write PATH: why".
  ImageFileWriter(const std::string& path, uint32_t address, size_t count);
  ~ImageFileWriter();
  ImageFileWriter(const ImageFileWriter&) = delete;
  ImageFileWriter& operator=(const ImageFileWriter&) = delete;

  // Writes the bytes (count of them) and puts the file in place; throws the
  // same Failure.
  void Commit(const Bytes& bytes);

 private:
  std::string path_;
  uint32_t address_;
  bool binary_;
  std::unique_ptr<OutputFile> file_;
};

// Opens, writes and commits in one step.
void WriteImageFile(const std::string& path, const Segment& segment);

}  // namespace tarlek
