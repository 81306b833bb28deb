#include "base/intel_hex.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/address_space.h"
#include "base/hex_text.h"
#include "base/input_file.h"
#include "base/text_scan.h"

namespace tarlek {
namespace {

enum RecordType : uint16_t {
  kData = 0x00,
  kExtendedSegmentAddress = 0x02,
  kExtendedLinearAddress = 0x04,
};

// The file is read in blocks of this size; only a line that runs across the
// end of a block is copied before it is parsed.
constexpr size_t kBlockSize = 16384;

// The field of len characters at 1-based position pos, cut short where the
// line ends.
std::string_view Field(std::string_view line, size_t pos, size_t len) {
  if (pos > line.size()) return {};
  return line.substr(pos - 1, len);
}

// The value of the field of two or four characters at 1-based position pos,
// as HexToWord reads it: 0 when any of its characters is not a digit.
uint16_t FieldValue(std::string_view line, size_t pos, size_t len) {
  if (pos - 1 + len > line.size()) return HexToWord(Field(line, pos, len));  // cut short
  uint16_t value = 0;
  for (size_t i = 0; i < len; i += 2) {
    const uint16_t pair = HexPairValue(line.data() + pos - 1 + i);
    if (pair == kNotHexPair) return 0;
    value = static_cast<uint16_t>(value << 8 | pair);
  }
  return value;
}

void WriteNameError(Console& console, const char* name, std::string_view complaint) {
  console.Write("ERROR - INTEL HEX input file ");
  console.WriteQuoted(name);
  console.WriteLine(complaint);
}

// The first line end in [p, end), or end when the line goes on past it. LF,
// CR LF and a lone CR all end a line (the empty line between CR and LF stores
// nothing); has_cr says whether the block holds a CR at all, which files
// with LF line ends never do.
const char* FindLineEnd(const char* p, const char* end, bool has_cr) {
  const size_t n = static_cast<size_t>(end - p);
  const char* lf = static_cast<const char*>(std::memchr(p, '\n', n));
  if (lf == nullptr) lf = end;
  if (!has_cr) return lf;
  const char* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(lf - p)));
  return cr != nullptr ? cr : lf;
}

// Stores the data record of one line (without its line end) into the image,
// or takes the base of an extended address record. False when a data byte
// would land above FFFFh; nothing of that line is stored then.
bool TakeLine(CodeImage& image, uint16_t& highest, uint32_t& base, std::string_view line) {
  uint16_t count, address, type;
  if (line.size() >= 9) {
    // The usual case: the whole header is there. A pair that is not a number
    // reads as kNotHexPair, which the masks below turn into 0, the value
    // HexToWord gives.
    const char* p = line.data();
    count = HexPairValue(p + 1) & 0xFF;
    const uint16_t high = HexPairValue(p + 3);
    const uint16_t low = HexPairValue(p + 5);
    address = (high | low) & kNotHexPair ? 0 : static_cast<uint16_t>(high << 8 | low);
    type = HexPairValue(p + 7) & 0xFF;
  } else {
    count = FieldValue(line, 2, 2);
    address = FieldValue(line, 4, 4);
    type = FieldValue(line, 8, 2);
  }
  switch (type) {
    case kData:
      break;
    case kExtendedSegmentAddress:
      base = uint32_t{FieldValue(line, 10, 4)} << 4;
      return true;
    case kExtendedLinearAddress:
      base = uint32_t{FieldValue(line, 10, 4)} << 16;
      return true;
    default:
      return true;  // end of file, start addresses, anything else
  }
  if (count == 0) return true;
  const uint32_t first = base + address;
  const uint32_t last = first + count - 1;
  if (last > 0xFFFF) return false;

  // Data byte k is the pair at positions 10 + 2k and 11 + 2k. A line shorter
  // than its byte count says gives 00h for each missing pair, and a pair cut
  // after its first digit gives that digit's value.
  uint8_t* target = &image[first];
  const size_t whole_pairs = line.size() >= 9 ? (line.size() - 9) / 2 : 0;
  const size_t stored = count < whole_pairs ? count : whole_pairs;
  const char* pair = line.data() + 9;
  // A pair that is not a number stores the low byte of kNotHexPair. Unrolled:
  // this loop is most of the time a HEX file takes to read.
#pragma GCC unroll 4
  for (size_t k = 0; k < stored; ++k, pair += 2) {
    target[k] = static_cast<uint8_t>(HexPairValue(pair));
  }
  for (size_t k = stored; k < count; ++k) {
    target[k] = static_cast<uint8_t>(HexToWord(Field(line, 10 + 2 * k, 2)));
  }
  if (last >= highest) highest = static_cast<uint16_t>(last);
  return true;
}

}  // namespace

bool ReadHexLenient(Console& console, const char* name, CodeImage& image, uint16_t& highest) {
  highest = 0;
  InputFile file;
  if (!file.Open(name)) {
    WriteNameError(console, name, " cannot be opened !");
    return false;
  }

  uint32_t base = 0;  // from the last extended address record
  uint8_t block[kBlockSize];
  // A line that runs across the end of a block, gathered up to its first
  // kHexLineCapacity characters.
  char carried[kHexLineCapacity];
  size_t carried_length = 0;
  bool carrying = false;
  auto carry = [&](const char* from, const char* to) {
    const size_t n = std::min(static_cast<size_t>(to - from), kHexLineCapacity - carried_length);
    std::memcpy(carried + carried_length, from, n);
    carried_length += n;
    carrying = true;
  };

  bool at_end = false;
  while (!at_end) {
    const ssize_t got = file.ReadUpTo(block, sizeof block);
    if (got < 0) {
      WriteNameError(console, name, " cannot be read !");
      return false;
    }
    at_end = static_cast<size_t>(got) < sizeof block;
    const char* p = reinterpret_cast<const char*>(block);
    const char* end = p + got;
    const bool has_cr = std::memchr(p, '\r', static_cast<size_t>(got)) != nullptr;
    for (;;) {
      const char* stop = FindLineEnd(p, end, has_cr);
      if (stop == end && !at_end) {  // the line goes on in the next block
        carry(p, end);
        break;
      }
      std::string_view line(p, static_cast<size_t>(stop - p));
      if (carrying) {
        carry(p, stop);
        line = std::string_view(carried, carried_length);
        carried_length = 0;
        carrying = false;
      }
      // Characters past the capacity never belong to a record's fields.
      if (!TakeLine(image, highest, base, line.substr(0, kHexLineCapacity))) {
        WriteNameError(console, name, " has data above address FFFFh !");
        return false;
      }
      if (stop == end) break;  // the last line of the file needs no line end
      p = stop + 1;
    }
  }
  return true;
}

// ---- The strict reading -----------------------------------------------------

namespace {

void Refuse(HexRefusal& refusal, size_t line, const char* reason) {
  refusal.line = line;
  static_cast<void>(std::snprintf(refusal.reason, sizeof refusal.reason, "%s", reason));
}

}  // namespace

bool ReadHexStrict(std::string_view text, HexContents& contents, HexRefusal& refusal) {
  uint32_t base = 0;  // from the last extended address record
  size_t number = 0;
  while (!text.empty()) {
    std::string_view line = TakeLine(text);
    ++number;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    if (line.empty()) continue;
    // At least five bytes: count, address, type and checksum.
    if (line[0] != ':' || line.size() < 11 || line.size() % 2 == 0) {
      Refuse(refusal, number, "not an Intel HEX record");
      return false;
    }
    uint8_t record[kHexLineCapacity / 2] = {};
    const size_t size = (line.size() - 1) / 2;
    if (size > sizeof record) {
      Refuse(refusal, number, "record length does not match its count");
      return false;
    }
    unsigned sum = 0;
    for (size_t k = 0; k < size; ++k) {
      const uint16_t pair = HexPairValue(line.data() + 1 + 2 * k);
      if (pair == kNotHexPair) {
        Refuse(refusal, number, "not an Intel HEX record");
        return false;
      }
      record[k] = static_cast<uint8_t>(pair);
      sum += pair;
    }
    if (size != record[0] + 5u) {
      Refuse(refusal, number, "record length does not match its count");
      return false;
    }
    if ((sum & 0xFF) != 0) {
      Refuse(refusal, number, "bad checksum");
      return false;
    }
    const auto offset = static_cast<uint32_t>(record[1] << 8 | record[2]);
    switch (record[3]) {
      case 0x00:
        for (uint32_t i = 0; i < record[0]; ++i) {
          const uint32_t address = base + offset + i;
          if (address >= kAddressSpaceSize) {
            Refuse(refusal, number, "data above FFFFh");
            return false;
          }
          contents.bytes[address] = record[4 + i];
          contents.held.set(address);
        }
        break;
      case 0x01:
        return true;
      case 0x02:
      case 0x04:
        if (record[0] != 2) {
          Refuse(refusal, number,
                 record[3] == 0x02 ? "bad extended segment address record"
                                   : "bad extended linear address record");
          return false;
        }
        base = static_cast<uint32_t>(record[4] << 8 | record[5]) << (record[3] == 0x02 ? 4 : 16);
        break;
      case 0x03:
      case 0x05:
        break;  // start addresses say nothing about memory
      default:
        refusal.line = number;
        static_cast<void>(std::snprintf(refusal.reason, sizeof refusal.reason,
                                        "unknown record type %02X", unsigned{record[3]}));
        return false;
    }
  }
  return true;
}

// ---- The writer ---------------------------------------------------------------

namespace {

constexpr uint16_t kFirstDataByte = 4;

}  // namespace

void StartHexRecord(HexRecord& record, uint16_t address) {
  std::memset(record.bytes, 0, sizeof record.bytes);
  record.fill = kFirstDataByte;
  record.address = address;
}

size_t FormatHexRecord(HexRecord& record, char* line) {
  const uint16_t fill = record.fill;
  record.bytes[0] = static_cast<uint8_t>(fill - kFirstDataByte);
  record.bytes[1] = static_cast<uint8_t>(record.address >> 8);
  record.bytes[2] = static_cast<uint8_t>(record.address);
  char* out = line;
  *out++ = ':';
  unsigned sum = 0;
  for (uint16_t i = 0; i < fill; ++i) {
    const uint8_t byte = record.bytes[i];
    std::memcpy(out, HexByte(byte).data(), 2);
    out += 2;
    sum += byte;
  }
  // The checksum makes all bytes from the count on add up to 0, modulo 256.
  std::memcpy(out, HexByte(static_cast<uint8_t>(0x100 - (sum & 0xFF))).data(), 2);
  out += 2;
  *out++ = '\n';
  return static_cast<size_t>(out - line);
}

void WriteHexRecord(HexRecord& record, OutputFile& file) {
  char line[kHexRecordLineMax];
  file.Write(line, FormatHexRecord(record, line));
}

size_t HexRangeTextSize(uint32_t first, uint32_t end) {
  if (end <= first) return 0;
  const size_t bytes = end - first;
  const size_t full = bytes / kHexRecordDataMax;
  const size_t rest = bytes % kHexRecordDataMax;
  // Each record: ':', count, address, type, two digits a byte, checksum, LF.
  return full * kHexRecordLineMax + (rest > 0 ? 12 + 2 * rest : 0);
}

void WriteHexRange(const uint8_t* bytes, uint32_t first, uint32_t end, OutputFile& file) {
  HexRecord record;
  for (uint32_t address = first; address < end;) {
    const uint32_t n = std::min<uint32_t>(kHexRecordDataMax, end - address);
    StartHexRecord(record, static_cast<uint16_t>(address));
    std::memcpy(record.bytes + record.fill, bytes + (address - first), n);
    record.fill = static_cast<uint16_t>(record.fill + n);
    WriteHexRecord(record, file);
    address += n;
  }
}

}  // namespace tarlek
