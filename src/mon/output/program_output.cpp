#include "mon/output/program_output.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

namespace tarlek::mon {
namespace {

// The length of the UTF-8 sequence a lead byte begins; 0 for a byte that
// cannot begin one.
size_t SequenceLength(uint8_t lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

bool Continues(uint8_t b) { return (b & 0xC0) == 0x80; }

// Whether bytes[0..n) is a well-formed sequence (no overlong form, no
// surrogate, nothing above U+10FFFF) that is not a C1 control character.
bool GoodSequence(std::string_view s) {
  const auto b0 = static_cast<uint8_t>(s[0]);
  for (size_t i = 1; i < s.size(); ++i) {
    if (!Continues(static_cast<uint8_t>(s[i]))) return false;
  }
  const auto b1 = static_cast<uint8_t>(s[1]);
  const bool c1_control = b0 == 0xC2 && b1 < 0xA0;  // U+0080..U+009F
  const bool overlong = (b0 == 0xE0 && b1 < 0xA0) || (b0 == 0xF0 && b1 < 0x90);
  const bool surrogate = b0 == 0xED && b1 >= 0xA0;
  const bool too_high = b0 == 0xF4 && b1 >= 0x90;
  return !c1_control && !overlong && !surrogate && !too_high;
}

void AppendEscaped(std::string& out, uint8_t b) {
  const bool kept = b == '\t' || b == '\n' || b == '\r' || (b >= 0x20 && b < 0x7F);
  if (kept) {
    out += static_cast<char>(b);
  } else if (b < 0x20) {
    out += '^';
    out += static_cast<char>('@' + b);
  } else if (b == 0x7F) {
    out += "^?";
  } else {
    out += fmt::format("\\x{:02X}", b);
  }
}

}  // namespace

std::string VisibleText::Feed(std::span<const uint8_t> bytes) {
  std::string in = std::move(pending_);
  pending_.clear();
  in.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string out;
  out.reserve(in.size());
  size_t i = 0;
  while (i < in.size()) {
    const auto b = static_cast<uint8_t>(in[i]);
    const size_t n = b < 0x80 ? 1 : SequenceLength(b);
    if (n <= 1) {
      AppendEscaped(out, b);
      ++i;
      continue;
    }
    if (i + n > in.size()) {
      // Cut at the chunk's end: held while what came so far may continue it.
      bool may_continue = true;
      for (size_t k = i + 1; k < in.size(); ++k) {
        may_continue = may_continue && Continues(static_cast<uint8_t>(in[k]));
      }
      if (may_continue) {
        pending_ = in.substr(i);
        break;
      }
      AppendEscaped(out, b);
      ++i;
      continue;
    }
    const std::string_view sequence(in.data() + i, n);
    if (GoodSequence(sequence)) {
      out += sequence;
      i += n;
    } else {
      AppendEscaped(out, b);
      ++i;
    }
  }
  return out;
}

std::string VisibleText::Flush() {
  std::string out;
  for (char c : pending_) AppendEscaped(out, static_cast<uint8_t>(c));
  pending_.clear();
  return out;
}

std::string Latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : bytes) {
    const auto b = static_cast<uint8_t>(c);
    if (b < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

void Footer::Shown(const TextSink& write, std::string text, size_t lines) {
  write_ = write;
  text_ = std::move(text);
  lines_ = lines;
}

void Footer::Erase() const {
  if (!write_) return;
  write_(lines_ > 0 ? fmt::format("\x1b[{}A\r\x1b[J", lines_) : std::string("\r\x1b[K"));
}

void Footer::Redraw() const {
  if (write_) write_(text_);
}

ProgramOutput::ProgramOutput(Settings settings, TextSink write, const Footer* footer)
    : settings_(std::move(settings)), write_(std::move(write)), footer_(footer) {}

std::string ProgramOutput::Shown(std::string_view bytes) {
  if (!settings_.visible) return std::string(bytes);
  std::string out =
      visible_.Feed(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  return out + visible_.Flush();
}

std::string ProgramOutput::JsonLine(std::string_view line, bool partial) const {
  nlohmann::json j = {{"time", settings_.timestamp ? settings_.timestamp() : std::string()},
                      {"text", Latin1ToUtf8(line)}};
  if (partial) j["partial"] = true;
  return j.dump() + "\n";
}

void ProgramOutput::WriteLines(const std::string& text) {
  if (text.empty()) return;
  if (footer_ != nullptr) footer_->Erase();
  write_(text);
  if (footer_ != nullptr) footer_->Redraw();
}

void ProgramOutput::Feed(std::span<const uint8_t> bytes, Clock::time_point now) {
  if (bytes.empty()) return;
  last_byte_ = now;
  if (settings_.mode == Mode::kConsole) {
    if (settings_.visible) {
      write_(visible_.Feed(bytes));
    } else {
      write_(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    return;
  }
  held_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::string out;
  size_t start = 0;
  for (size_t nl = held_.find('\n'); nl != std::string::npos; nl = held_.find('\n', start)) {
    const std::string_view line(held_.data() + start, nl + 1 - start);
    out += settings_.mode == Mode::kConsoleJson ? JsonLine(line, false) : Shown(line);
    start = nl + 1;
  }
  held_.erase(0, start);
  // A line that never ends is not held for ever.
  if (held_.size() >= settings_.longest_line) {
    if (settings_.mode == Mode::kConsoleJson) {
      out += JsonLine(held_, true);
    } else {
      out += Shown(held_) + std::string(kCutMark) + "\n";
    }
    held_.clear();
  }
  WriteLines(out);
}

void ProgramOutput::Tick(Clock::time_point now) {
  if (settings_.mode != Mode::kConsoleJson || held_.empty()) return;
  if (now - last_byte_ < settings_.pause) return;
  write_(JsonLine(held_, true));
  held_.clear();
}

void ProgramOutput::Finish() {
  if (settings_.mode == Mode::kConsole) {
    if (settings_.visible) write_(visible_.Flush());
    return;
  }
  if (held_.empty()) return;
  if (settings_.mode == Mode::kConsoleJson) {
    write_(JsonLine(held_, true));
  } else {
    // A carriage return before the cut would send the mark over the line.
    std::string_view line = held_;
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    WriteLines(Shown(line) + std::string(kCutMark) + "\n");
  }
  held_.clear();
}

}  // namespace tarlek::mon
