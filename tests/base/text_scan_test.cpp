// Lines and words as the symbol files and Intel HEX are read.
#include "base/text_scan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarlek {
namespace {

std::vector<std::string> AllLines(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) lines.emplace_back(TakeLine(text));
  return lines;
}

std::vector<std::string> AllWords(std::string_view text) {
  std::vector<std::string> words;
  for (std::string_view word = TakeWord(text); !word.empty(); word = TakeWord(text)) {
    words.emplace_back(word);
  }
  return words;
}

TEST(TakeLine, EndsOfLineAsTheyCome) {
  const struct {
    std::string text;
    std::vector<std::string> lines;
  } cases[] = {
      {"a\nb\n", {"a", "b"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\nlast", {"a", "last"}},
      {"\n\nx", {"", "", "x"}},
      // Only the carriage return of a CR LF goes; one inside a line stays.
      {"a\rb\r\r\n", {"a\rb\r"}},
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(AllLines(c.text), c.lines) << c.text;
}

TEST(TakeWord, BlanksSeparate) {
  const struct {
    std::string text;
    std::vector<std::string> words;
  } cases[] = {
      {"  0041  _counter\tdemo\r", {"0041", "_counter", "demo"}},
      {"one", {"one"}},
      {" \t\r ", {}},
      {"", {}},
      {"a|b c", {"a|b", "c"}},
  };
  for (const auto& c : cases) EXPECT_EQ(AllWords(c.text), c.words) << c.text;
}

}  // namespace
}  // namespace tarlek
