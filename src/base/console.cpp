#include "base/console.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/write_fully.h"

namespace tarlek {
namespace {

// PC colour 0..7 to the SGR colour digit.
constexpr std::string_view kAnsiDigits = "04261537";

constexpr uint8_t kBright = 0x08;
constexpr uint8_t kBlink = 0x80;

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

}  // namespace

Console::Console(int fd, bool colour) : fd_(fd), colour_(colour) {
  if (colour_) Write("\x1b[m");
}

Console::~Console() { Flush(); }

bool Console::WantsColour(int fd) {
  if (!isatty(fd)) return false;
  const char* no_colour = std::getenv("NO_COLOR");
  if (no_colour != nullptr && no_colour[0] != '\0') return false;
  const char* term = std::getenv("TERM");
  return term == nullptr || std::strcmp(term, "dumb") != 0;
}

void Console::SetTextColour(uint8_t colour) {
  const uint8_t next = static_cast<uint8_t>((colour & 0x8F) | (attribute_ & 0x70));
  if (next == attribute_) return;
  if (colour_) {
    // Light grey without blink is the terminal's default rendition: a bare
    // reset. Anything else starts from a reset when the old rendition was not
    // the default, then adds bold, blink and the colour digit as needed.
    if ((next & 0x8F) == kLightGrey) {
      Write("\x1b[m");
    } else {
      Write("\x1b[");
      bool first = true;
      auto param = [&](std::string_view p) {
        if (!first) Write(";");
        Write(p);
        first = false;
      };
      if ((attribute_ & 0x8F) != kLightGrey) param("0");
      if (next & kBright) param("1");
      if (next & kBlink) param("5");
      if ((next & 0x07) != 7) {
        const char digits[2] = {'3', kAnsiDigits[next & 0x07]};
        param({digits, 2});
      }
      Write("m");
    }
    Flush();
  }
  attribute_ = next;
}

void Console::NormalIntensity() { SetTextColour(attribute_ & 0x77); }

void Console::Write(std::string_view text) {
  while (!text.empty()) {
    if (used_ == sizeof buffer_) Flush();
    size_t n = std::min(text.size(), sizeof buffer_ - used_);
    std::memcpy(buffer_ + used_, text.data(), n);
    used_ += n;
    text.remove_prefix(n);
  }
}

void Console::WriteQuoted(std::string_view text) {
  while (!text.empty()) {
    size_t n = 0;
    while (n < text.size() && !IsControl(text[n])) ++n;
    Write(text.substr(0, n));
    if (n == text.size()) break;
    Write("?");
    text.remove_prefix(n + 1);
  }
}

void Console::WriteLine(std::string_view text) {
  Write(text);
  Write("\n");
  Flush();
}

void Console::Flush() {
  // A failing standard output is not reported.
  static_cast<void>(WriteFully(fd_, buffer_, used_));
  used_ = 0;
}

}  // namespace tarlek
