#include "image/hex_reader.h"

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

// Two hexadecimal digits as a byte; 00h when either is not a digit.
uint8_t PairValue(char high, char low) {
  const uint8_t h = HexDigitValue(high);
  const uint8_t l = HexDigitValue(low);
  if ((h | l) > 0x0F) return 0;
  return static_cast<uint8_t>(h << 4 | l);
}

void WriteNameError(Console& console, const char* name, std::string_view complaint) {
  console.Write("ERROR - INTEL HEX input file ");
  console.Write(name);
  console.WriteLine(complaint);
}

// The first line end in [p, end), or end when the line goes on past it. LF,
// CR LF and a lone CR all end a line (the empty line between CR and LF stores
// nothing). lf remembers the next LF of the block between calls, so a file
// with CR line ends is not searched to the end of the block for every line.
const char* FindLineEnd(const char* p, const char* end, const char*& lf) {
  if (lf == nullptr || lf < p) {
    lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    if (lf == nullptr) lf = end;
  }
  const char* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<size_t>(lf - p)));
  return cr != nullptr ? cr : lf;
}

}  // namespace

bool HexLoader::TakeLine(std::string_view line) {
  const uint16_t count = HexToWord(Field(line, 2, 2));
  const uint16_t address = HexToWord(Field(line, 4, 4));
  const uint16_t type = HexToWord(Field(line, 8, 2));
  switch (type) {
    case kData:
      break;
    case kExtendedSegmentAddress:
      base_ = uint32_t{HexToWord(Field(line, 10, 4))} << 4;
      return true;
    case kExtendedLinearAddress:
      base_ = uint32_t{HexToWord(Field(line, 10, 4))} << 16;
      return true;
    default:
      return true;  // end of file, start addresses, anything else
  }
  if (count == 0) return true;
  const uint32_t first = base_ + address;
  const uint32_t last = first + count - 1;
  if (last > 0xFFFF) return false;

  // Data byte k is the pair at positions 10 + 2k and 11 + 2k. A line shorter
  // than its byte count says gives 00h for each missing pair, and a pair cut
  // after its first digit gives that digit's value.
  uint8_t* target = &state_.Image[first];
  const size_t whole_pairs = line.size() >= 9 ? (line.size() - 9) / 2 : 0;
  const size_t stored = count < whole_pairs ? count : whole_pairs;
  const char* pair = line.data() + 9;
  for (size_t k = 0; k < stored; ++k, pair += 2) target[k] = PairValue(pair[0], pair[1]);
  for (size_t k = stored; k < count; ++k) {
    target[k] = static_cast<uint8_t>(HexToWord(Field(line, 10 + 2 * k, 2)));
  }
  if (last >= state_.ProgramEnd) state_.ProgramEnd = static_cast<uint16_t>(last);
  return true;
}

bool ReadHexFile(ProgramState& state, Console& console, const char* name) {
  state.ProgramEnd = 0;
  InputFile file;
  if (!file.Open(name)) {
    WriteNameError(console, name, " cannot be opened !");
    return false;
  }

  HexLoader loader(state);
  uint8_t block[kBlockSize];
  // A line that runs across the end of a block, gathered up to its first
  // kHexLineCapacity characters.
  char carried[kHexLineCapacity];
  size_t carried_length = 0;
  bool carrying = false;

  auto carry = [&](const char* from, const char* to) {
    const size_t room = kHexLineCapacity - carried_length;
    const size_t n = static_cast<size_t>(to - from) < room ? static_cast<size_t>(to - from) : room;
    std::memcpy(carried + carried_length, from, n);
    carried_length += n;
    carrying = true;
  };
  auto take = [&](std::string_view line) {
    // Characters past the capacity never belong to a record's fields.
    if (!loader.TakeLine(line.substr(0, kHexLineCapacity))) {
      WriteNameError(console, name, " has data above address FFFFh !");
      return false;
    }
    return true;
  };

  for (;;) {
    const ssize_t got = file.ReadUpTo(block, sizeof block);
    if (got < 0) {
      WriteNameError(console, name, " cannot be read !");
      return false;
    }
    const char* p = reinterpret_cast<const char*>(block);
    const char* end = p + got;
    const char* lf = nullptr;
    while (p < end) {
      const char* stop = FindLineEnd(p, end, lf);
      if (stop == end) {
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
      if (!take(line)) return false;
      p = stop + 1;
    }
    if (static_cast<size_t>(got) < sizeof block) break;  // the end of the file
  }
  // The last line needs no line end.
  if (carrying && !take(std::string_view(carried, carried_length))) return false;
  return true;
}

}  // namespace tarlek
