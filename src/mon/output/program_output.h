// The program's own output, as tarlek-mon shows it: the bytes that come on
// the line around the resident's answers.
//
// - Around a command (read, watch, dump ...) it goes to standard error in
//   whole lines, each written at once, so that it never lands inside a line
//   of tarlek-mon's own output; a partial line is held until its end or the
//   command's end and then shown with a mark that it was cut.
// - console passes it on as it comes; console --json gives one object per
//   line, and one per partial line when the program pauses.
// - On a terminal, control bytes other than newline, carriage return and tab
//   (and bytes that are not UTF-8) are shown visibly, as ^X or \xNN; piped,
//   or with --raw-output, the bytes stay exactly as they came.
// - Whatever tarlek-mon keeps at the bottom of the terminal (watch's table,
//   dump's progress line) is taken away while program lines are written
//   above it, and drawn again below them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace tarlek::mon {

using TextSink = std::function<void(std::string_view)>;

// Bytes as a terminal should see them: tab, newline and carriage return as
// they are, other control bytes in caret form (^[ for ESC, ^? for DEL), and
// bytes that are no part of UTF-8 text (and C1 control characters) as \xNN.
// A UTF-8 sequence cut at the end of a chunk is held for the next one.
class VisibleText {
 public:
  std::string Feed(std::span<const uint8_t> bytes);
  // Whatever is held, as \xNN.
  std::string Flush();

 private:
  std::string pending_;
};

// Every byte one code point U+0000..U+00FF: nothing is lost and the text is
// valid UTF-8, as JSON needs.
std::string Latin1ToUtf8(std::string_view bytes);

// The lines at the bottom of a terminal that program lines go above.
class Footer {
 public:
  // text has just been drawn with write; it ends after lines newlines (0: a
  // line without its newline, as a progress line is).
  void Shown(const TextSink& write, std::string text, size_t lines);
  // Nothing is kept at the bottom any more.
  void Gone() { write_ = nullptr; }
  // Erases it (cursor back to where it began) and draws it again.
  void Erase() const;
  void Redraw() const;

 private:
  TextSink write_;
  std::string text_;
  size_t lines_ = 0;
};

class ProgramOutput {
 public:
  enum class Mode { kAroundCommand, kConsole, kConsoleJson };

  struct Settings {
    Mode mode = Mode::kAroundCommand;
    bool visible = false;  // a terminal without --raw-output
    // How long the program must be silent for a partial line to count as
    // paused (console --json).
    Clock::duration pause = std::chrono::milliseconds(200);
    // A held line is shown (marked as cut) once it grows this long.
    size_t longest_line = 1024;
    std::function<std::string()> timestamp;  // console --json
  };

  ProgramOutput(Settings settings, TextSink write, const Footer* footer);

  void Feed(std::span<const uint8_t> bytes, Clock::time_point now);
  // Called now and then while the line is listened to: a partial line that
  // has been quiet for the pause is given out (console --json).
  void Tick(Clock::time_point now);
  // The command's end: a held partial line is shown, marked as cut.
  void Finish();

  static constexpr std::string_view kCutMark = " [cut]";

 private:
  void WriteLines(const std::string& text);
  std::string Shown(std::string_view bytes);
  std::string JsonLine(std::string_view line, bool partial) const;

  Settings settings_;
  TextSink write_;
  const Footer* footer_;
  VisibleText visible_;
  std::string held_;
  Clock::time_point last_byte_{};
};

}  // namespace tarlek::mon
