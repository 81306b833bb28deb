// Reading text a line and a word at a time, as the symbol files and Intel HEX
// are read.
#pragma once

#include <string_view>

namespace tarlek {

// The first line of text, without its line end (LF, or CR LF); text moves on
// past it. A last line without a line end is a line too.
inline std::string_view TakeLine(std::string_view& text) {
  const size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

// The next word of text, after any blanks (space, tab, carriage return);
// text moves on past it. Empty when only blanks are left.
inline std::string_view TakeWord(std::string_view& text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  size_t start = 0;
  while (start < text.size() && blank(text[start])) ++start;
  size_t end = start;
  while (end < text.size() && !blank(text[end])) ++end;
  const std::string_view word = text.substr(start, end - start);
  text.remove_prefix(end);
  return word;
}

}  // namespace tarlek
