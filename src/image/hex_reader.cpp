#include "image/hex_reader.h"

#include <algorithm>
#include <cstring>

#include "driver/hex_text.h"
#include "image/input_file.h"

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
bool TakeLine(ProgramState& state, uint32_t& base, std::string_view line) {
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
  uint8_t* target = &state.Image[first];
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
  if (last >= state.ProgramEnd) state.ProgramEnd = static_cast<uint16_t>(last);
  return true;
}

}  // namespace

bool ReadHexFile(ProgramState& state, Console& console, const char* name) {
  state.ProgramEnd = 0;
  state.ProgramEndIsLast = true;
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
      if (!TakeLine(state, base, line.substr(0, kHexLineCapacity))) {
        WriteNameError(console, name, " has data above address FFFFh !");
        return false;
      }
      if (stop == end) break;  // the last line of the file needs no line end
      p = stop + 1;
    }
  }
  return true;
}

}  // namespace tarlek
