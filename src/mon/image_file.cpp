#include "mon/image_file.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "base/intel_hex.h"
#include "mon/failure.h"

namespace tarlek::mon {

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
    throw UsageError(fmt::format("{}:{}: {}", name, refusal.line, refusal.reason));
  }
  std::vector<Segment> segments;
  for (uint32_t address = 0; address < kCodeMemorySize; ++address) {
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
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError(fmt::format("cannot read {}: {}", path, std::strerror(errno)));
  std::ostringstream content;
  content << in.rdbuf();
  const std::string text = content.str();
  if (IsBinaryName(path)) {
    if (text.size() > 0x10000) throw UsageError(path + " is larger than 64 KB of code memory");
    if (text.empty()) return {};
    return {Segment{0, Bytes(text.begin(), text.end())}};
  }
  return ParseIntelHex(text, path);
}

void WriteImageFile(const std::string& path, const Segment& segment) {
  const std::string content = IsBinaryName(path)
                                  ? std::string(segment.data.begin(), segment.data.end())
                                  : FormatIntelHex({segment});
  const auto fail = [&](const std::string& why) {
    return Failure(kExitFailure, fmt::format("cannot write {}: {}", path, why));
  };
  // A whole new file or none: written to a fresh temporary name beside it
  // (never a name that could be someone's file), synced, then renamed over it.
  std::string part = path + ".XXXXXX";
  const int fd = ::mkostemp(part.data(), O_CLOEXEC);
  if (fd < 0) throw fail(std::strerror(errno));
  // An existing file keeps its mode; a new one gets 0666 less the umask.
  struct stat old {};
  mode_t mode = 0;
  if (::stat(path.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  std::string_view rest(content);
  bool ok = ::fchmod(fd, mode) == 0;
  while (ok && !rest.empty()) {
    const ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) rest.remove_prefix(static_cast<size_t>(n));
  }
  ok = ok && ::fsync(fd) == 0;
  const std::string why = ok ? "" : std::strerror(errno);
  ok = (::close(fd) == 0) && ok;
  if (ok && std::rename(part.c_str(), path.c_str()) == 0) return;
  const std::string reason = why.empty() ? std::strerror(errno) : why;
  static_cast<void>(std::remove(part.c_str()));
  throw fail(reason);
}

}  // namespace tarlek::mon
