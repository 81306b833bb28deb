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
#include <map>
#include <sstream>

#include "mon/failure.h"

namespace tarlek::mon {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(c | 0x20);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool IsBinaryName(const std::string& path) {
  if (path.size() < 4) return false;
  std::string ext = path.substr(path.size() - 4);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".bin";
}

std::vector<Segment> ParseIntelHex(const std::string& text, const std::string& name) {
  std::map<uint32_t, uint8_t> bytes;
  uint32_t base = 0;
  size_t line_number = 0;
  std::istringstream in(text);
  std::string line;
  auto fail = [&](const std::string& why) {
    return UsageError(fmt::format("{}:{}: {}", name, line_number, why));
  };
  bool ended = false;
  while (std::getline(in, line)) {
    ++line_number;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    if (ended) break;
    if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0) {
      throw fail("not an Intel HEX record");
    }
    // At least five bytes: count, address, type and checksum.
    Bytes record((line.size() - 1) / 2);
    for (size_t k = 0; k < record.size(); ++k) {
      const int hi = HexDigit(line[1 + 2 * k]), lo = HexDigit(line[2 + 2 * k]);
      if (hi < 0 || lo < 0) throw fail("not an Intel HEX record");
      record[k] = static_cast<uint8_t>(hi * 16 + lo);
    }
    if (record.size() != record[0] + 5u) throw fail("record length does not match its count");
    unsigned sum = 0;
    for (uint8_t b : record) sum += b;
    if ((sum & 0xFF) != 0) throw fail("bad checksum");
    const auto offset = static_cast<uint32_t>((record[1] << 8) | record[2]);
    switch (record[3]) {
      case 0x00:
        for (size_t i = 0; i < record[0]; ++i) {
          const uint32_t address = base + offset + static_cast<uint32_t>(i);
          if (address > 0xFFFF) throw fail("data above FFFFh");
          bytes[address] = record[4 + i];
        }
        break;
      case 0x01:
        ended = true;
        break;
      case 0x02:
        if (record[0] != 2) throw fail("bad extended segment address record");
        base = static_cast<uint32_t>((record[4] << 8) | record[5]) << 4;
        break;
      case 0x04:
        if (record[0] != 2) throw fail("bad extended linear address record");
        base = static_cast<uint32_t>((record[4] << 8) | record[5]) << 16;
        break;
      case 0x03:
      case 0x05:
        break;  // start addresses say nothing about memory
      default:
        throw fail(fmt::format("unknown record type {:02X}", record[3]));
    }
  }
  std::vector<Segment> segments;
  for (const auto& [address, value] : bytes) {
    if (segments.empty() || segments.back().address + segments.back().data.size() != address) {
      segments.push_back(Segment{address, {}});
    }
    segments.back().data.push_back(value);
  }
  return segments;
}

std::string FormatIntelHex(const std::vector<Segment>& segments) {
  std::string out;
  for (const Segment& segment : segments) {
    for (size_t at = 0; at < segment.data.size(); at += 16) {
      const size_t count = std::min<size_t>(16, segment.data.size() - at);
      const uint32_t address = segment.address + static_cast<uint32_t>(at);
      Bytes record = {static_cast<uint8_t>(count), static_cast<uint8_t>(address >> 8),
                      static_cast<uint8_t>(address), 0x00};
      record.insert(record.end(), segment.data.begin() + static_cast<ptrdiff_t>(at),
                    segment.data.begin() + static_cast<ptrdiff_t>(at + count));
      record.push_back(protocol::Complement(record));
      out += ':';
      for (uint8_t b : record) out += fmt::format("{:02X}", b);
      out += '\n';
    }
  }
  out += ":00000001FF\n";
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
