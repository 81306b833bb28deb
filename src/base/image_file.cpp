#include "base/image_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "base/address_space.h"
#include "base/failure.h"
#include "base/input_file.h"
#include "base/intel_hex.h"
#include "base/output_file.h"

namespace tarlek {

bool IsBinaryName(const std::string& path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".bin";
}

std::vector<Segment> ParseIntelHex(const std::string& text, const std::string& name) {
  const auto contents = std::make_unique<HexContents>();
  HexRefusal refusal;
  if (!ReadHexStrict(text, *contents, refusal)) {
    throw UsageError(name + ":" + std::to_string(refusal.line) + ": " + refusal.reason);
  }
  std::vector<Segment> segments;
  for (uint32_t address = 0; address < kAddressSpaceSize; ++address) {
    if (!contents->held.test(address)) continue;
    if (segments.empty() || segments.back().address + segments.back().data.size() != address) {
      segments.push_back(Segment{address, {}});
    }
    segments.back().data.push_back(contents->bytes[address]);
  }
  return segments;
}

std::string FormatIntelHex(const std::vector<Segment>& segments) {
  std::string out;
  for (const Segment& segment : segments) {
    for (size_t at = 0; at < segment.data.size(); at += kHexRecordDataMax) {
      const size_t count = std::min<size_t>(kHexRecordDataMax, segment.data.size() - at);
      HexRecord record;
      StartHexRecord(record, static_cast<uint16_t>(segment.address + at));
      std::memcpy(record.bytes + record.fill, segment.data.data() + at, count);
      record.fill = static_cast<uint16_t>(record.fill + count);
      char line[kHexRecordLineMax];
      out.append(line, FormatHexRecord(record, line));
    }
  }
  out += kHexEndOfFile;
  return out;
}

std::vector<Segment> ReadImageFile(const std::string& path) {
  InputFile file;
  errno = 0;
  if (!file.Open(path.c_str())) {
    const int error = errno;
    throw UsageError("cannot read " + path + ": " + std::strerror(error != 0 ? error : EISDIR));
  }
  // Up to one byte more than the largest binary file, in blocks.
  std::string text;
  constexpr size_t kBlock = 65536;
  for (;;) {
    const size_t had = text.size();
    text.resize(had + kBlock);
    const ssize_t got = file.ReadUpTo(reinterpret_cast<uint8_t*>(text.data() + had), kBlock);
    if (got < 0) {
      throw UsageError("cannot read " + path + ": " + std::strerror(errno));
    }
    text.resize(had + static_cast<size_t>(got));
    if (static_cast<size_t>(got) < kBlock) break;
  }
  if (IsBinaryName(path)) {
    if (text.size() > kAddressSpaceSize)
      throw UsageError(path + " is larger than 64 KB of code memory");
    if (text.empty()) return {};
    return {Segment{0, Bytes(text.begin(), text.end())}};
  }
  return ParseIntelHex(text, path);
}

namespace {

size_t ImageFileSize(bool binary, uint32_t address, size_t count) {
  if (binary) return count;
  return HexRangeTextSize(address, address + static_cast<uint32_t>(count)) + kHexEndOfFile.size();
}

}  // namespace

ImageFileWriter::ImageFileWriter(const std::string& path, uint32_t address, size_t count)
    : path_(path),
      address_(address),
      binary_(IsBinaryName(path)),
      file_(std::make_unique<OutputFile>()) {
  errno = 0;
  if (!file_->Open(path.c_str(), ImageFileSize(binary_, address, count))) {
    const int error = errno;
    throw Failure(kExitFailure, error != 0 ? "cannot write " + path + ": " + std::strerror(error)
                                           : "cannot write " + path);
  }
}

ImageFileWriter::~ImageFileWriter() = default;

void ImageFileWriter::Commit(const Bytes& bytes) {
  if (binary_) {
    file_->Write(bytes.data(), bytes.size());
  } else {
    WriteHexRange(bytes.data(), address_, address_ + static_cast<uint32_t>(bytes.size()), *file_);
    file_->Write(kHexEndOfFile.data(), kHexEndOfFile.size());
  }
  errno = 0;
  if (!file_->Commit()) {
    const int error = errno;
    throw Failure(kExitFailure, error != 0 ? "cannot write " + path_ + ": " + std::strerror(error)
                                           : "cannot write " + path_);
  }
}

void WriteImageFile(const std::string& path, const Segment& segment) {
  ImageFileWriter writer(path, segment.address, segment.data.size());
  writer.Commit(segment.data);
}

}  // namespace tarlek
