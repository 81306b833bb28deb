// The console every line of the tool goes through: standard output, one line
// at a time, with the colours of the PC text palette sent as ANSI SGR
// sequences when (and only when) colour was decided on at start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarlek {

// PC text palette numbers the tool uses.
enum Colour : uint8_t {
  kLightGrey = 7,
  kLightCyan = 11,
  kLightMagenta = 13,
  kYellow = 14,
  kWhite = 15,
};

class Console {
 public:
  // Opens the console on a file descriptor. With colour on, the terminal is
  // first reset to its default rendition.
  Console(int fd, bool colour);
  // Flushes what is pending; sends no colour reset.
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Whether colour sequences should be sent to fd: a terminal, NO_COLOR unset
  // or empty, and TERM not "dumb".
  static bool WantsColour(int fd);

  // Foreground (and blink bit) from colour, background kept.
  void SetTextColour(uint8_t colour);
  // Clears the bright and blink bits: white becomes light grey.
  void NormalIntensity();

  void Write(std::string_view text);
  // Writes a file name or option as typed, but each control byte (00h-1Fh,
  // 7Fh) as '?', so that no name can send the terminal a control sequence.
  void WriteQuoted(std::string_view text);
  void WriteLine(std::string_view text = {});
  void Flush();

  uint8_t TextAttribute() const { return attribute_; }

 private:
  int fd_;
  bool colour_;
  uint8_t attribute_ = kLightGrey;
  size_t used_ = 0;
  char buffer_[1024];
};

}  // namespace tarlek
