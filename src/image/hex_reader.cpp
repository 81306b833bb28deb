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

// The field of len characters at 1-based position pos, cut short where the
// line ends.
std::string_view Field(std::string_view line, size_t pos, size_t len) {
  if (pos > line.size()) return {};
  return line.substr(pos - 1, len);
}

// One data pair: two digits when both are there, as HexToWord reads them.
uint8_t PairAt(std::string_view line, size_t pos) {
  if (pos + 1 <= line.size()) {
    const uint8_t hi = HexDigitValue(line[pos - 1]);
    const uint8_t lo = HexDigitValue(line[pos]);
    if (hi == 0xFF || lo == 0xFF) return 0;
    return static_cast<uint8_t>(hi << 4 | lo);
  }
  return static_cast<uint8_t>(HexToWord(Field(line, pos, 2)));
}

void WriteNameError(Console& console, const char* name, std::string_view complaint) {
  console.Write("ERROR - INTEL HEX input file ");
  console.Write(name);
  console.WriteLine(complaint);
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
  uint8_t* target = &state_.Image[first];
  for (size_t k = 0; k < count; ++k) target[k] = PairAt(line, 10 + 2 * k);
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
  uint8_t chunk[16384];
  char line[kHexLineCapacity];
  size_t line_length = 0;
  bool line_open = false;  // characters seen since the last line end

  auto finish_line = [&]() {
    line_open = false;
    std::string_view text(line, line_length);
    line_length = 0;
    return loader.TakeLine(text);
  };

  for (;;) {
    const ssize_t got = file.ReadUpTo(chunk, sizeof chunk);
    if (got < 0) {
      WriteNameError(console, name, " cannot be read !");
      return false;
    }
    if (got == 0) break;
    const char* p = reinterpret_cast<const char*>(chunk);
    const char* end = p + got;
    while (p < end) {
      // LF, CR LF and a lone CR all end a line; the empty line between CR
      // and LF stores nothing.
      const char* stop = p;
      while (stop < end && *stop != '\n' && *stop != '\r') ++stop;
      const size_t n = static_cast<size_t>(stop - p);
      const size_t room = kHexLineCapacity - line_length;
      std::memcpy(line + line_length, p, n < room ? n : room);
      line_length += n < room ? n : room;
      line_open = line_open || n > 0;
      p = stop;
      if (p < end) {
        ++p;
        if (!finish_line()) {
          WriteNameError(console, name, " has data above address FFFFh !");
          return false;
        }
      }
    }
    if (static_cast<size_t>(got) < sizeof chunk) break;
  }
  if (line_open && !finish_line()) {
    WriteNameError(console, name, " has data above address FFFFh !");
    return false;
  }
  return true;
}

}  // namespace tarlek
