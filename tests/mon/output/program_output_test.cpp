// The program's output layer on its own: visible control bytes, whole lines
// around a command, console --json by lines and pauses.
#include "mon/output/program_output.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <vector>

namespace tarlek::mon {
namespace {

using namespace std::chrono_literals;

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(VisibleText, ControlBytesAreShownAndTextIsKept) {
  const struct {
    std::string in;
    std::string shown;
  } cases[] = {
      {"plain\ttab\r\n", "plain\ttab\r\n"},
      {"\x1b[31mred\x1b[m", "^[[31mred^[[m"},
      {std::string("nul\0bel\a", 8), "nul^@bel^G"},
      {"del\x7f", "del^?"},
      {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},  // UTF-8 stays
      {"latin \xE9!", "latin \\xE9!"},                           // not UTF-8
      {"c1 \xC2\x9B"
       "2J",
       "c1 \\xC2\\x9B2J"},  // a C1 control
      {"\xC0\xAF overlong", "\\xC0\\xAF overlong"},
  };
  for (const auto& c : cases) {
    VisibleText v;
    EXPECT_EQ(v.Feed(Bytes(c.in)) + v.Flush(), c.shown) << c.in;
  }
  // A sequence cut between two chunks is held, not escaped.
  VisibleText split;
  EXPECT_EQ(split.Feed(Bytes("a\xE2\x82")), "a");
  EXPECT_EQ(split.Feed(Bytes("\xAC"
                             "b")),
            "\xE2\x82\xAC"
            "b");
  EXPECT_EQ(split.Feed(Bytes("\xE2")), "");
  EXPECT_EQ(split.Flush(), "\\xE2");
}

struct Captured {
  std::vector<std::string> writes;
  TextSink sink() {
    return [this](std::string_view t) { writes.emplace_back(t); };
  }
  std::string all() const {
    std::string s;
    for (const auto& w : writes) s += w;
    return s;
  }
};

TEST(ProgramOutput, AroundACommandLinesComeWholeAndTheRestIsMarkedCut) {
  Captured err;
  ProgramOutput::Settings settings;
  settings.longest_line = 16;
  ProgramOutput output(settings, err.sink(), nullptr);
  const auto now = Clock::now();
  for (std::string_view chunk : {"wr", "ite\r\nTar", "lek", "\r\nnext\r\none", " more"}) {
    output.Feed(Bytes(chunk), now);
  }
  EXPECT_EQ(err.writes, (std::vector<std::string>{"write\r\n", "Tarlek\r\nnext\r\n"}));
  // A line that never ends is shown once it is long.
  output.Feed(Bytes(" and longer"), now);
  EXPECT_EQ(err.writes.back(), "one more and longer [cut]\n");
  output.Feed(Bytes("tail\r"), now);
  output.Finish();
  EXPECT_EQ(err.writes.back(), "tail [cut]\n");
  output.Finish();
  EXPECT_EQ(err.writes.size(), 4u) << "nothing is held after the end";
}

TEST(ProgramOutput, LinesGoAboveWhatIsKeptAtTheBottom) {
  Captured screen;
  Footer footer;
  ProgramOutput::Settings settings;
  settings.visible = true;
  ProgramOutput output(settings, screen.sink(), &footer);
  output.Feed(Bytes("before\n"), Clock::now());
  footer.Shown(screen.sink(), "row 1\nrow 2\n", 2);
  output.Feed(Bytes("\x1b"
                    "c\n"),
              Clock::now());
  footer.Shown(screen.sink(), "[### ] 3/4", 0);
  output.Feed(Bytes("x\n"), Clock::now());
  footer.Gone();
  output.Feed(Bytes("y\n"), Clock::now());
  EXPECT_EQ(screen.all(),
            "before\n"
            "\x1b[2A\r\x1b[J^[c\nrow 1\nrow 2\n"
            "\r\x1b[Kx\n[### ] 3/4"
            "y\n");
}

TEST(ProgramOutput, ConsoleJsonIsOneObjectPerLineAndPerPause) {
  Captured out;
  ProgramOutput::Settings settings;
  settings.mode = ProgramOutput::Mode::kConsoleJson;
  settings.timestamp = [] { return std::string("12:00:00.000"); };
  settings.pause = 200ms;
  ProgramOutput output(settings, out.sink(), nullptr);
  const auto t0 = Clock::now();
  for (char c : std::string("one\r\ntw")) output.Feed(Bytes(std::string_view(&c, 1)), t0);
  output.Tick(t0 + 100ms);  // not yet a pause
  output.Tick(t0 + 250ms);
  output.Feed(Bytes("o\xE9\r\n"), t0 + 300ms);
  output.Feed(Bytes("end"), t0 + 300ms);
  output.Finish();
  std::vector<nlohmann::json> objects;
  for (const auto& w : out.writes) {
    ASSERT_EQ(w.back(), '\n');
    objects.push_back(nlohmann::json::parse(w));
  }
  ASSERT_EQ(objects.size(), 4u) << out.all();
  EXPECT_EQ(objects[0], (nlohmann::json{{"time", "12:00:00.000"}, {"text", "one\r\n"}}));
  EXPECT_EQ(objects[1]["text"], "tw");
  EXPECT_EQ(objects[1]["partial"], true);
  EXPECT_EQ(objects[2]["text"], "o\xC3\xA9\r\n");  // each byte one code point
  EXPECT_FALSE(objects[2].contains("partial"));
  EXPECT_EQ(objects[3]["text"], "end");
  EXPECT_EQ(objects[3]["partial"], true);
}

TEST(ProgramOutput, ConsoleIsByteExactUnlessShownOnATerminal) {
  const std::string bytes = "\x1b[2Jtext\xE9\r\n\x01";
  for (const bool visible : {false, true}) {
    Captured out;
    ProgramOutput::Settings settings;
    settings.mode = ProgramOutput::Mode::kConsole;
    settings.visible = visible;
    ProgramOutput output(settings, out.sink(), nullptr);
    output.Feed(Bytes(bytes.substr(0, 3)), Clock::now());
    output.Feed(Bytes(bytes.substr(3)), Clock::now());
    output.Finish();
    EXPECT_EQ(out.all(), visible ? "^[[2Jtext\\xE9\r\n^A" : bytes);
  }
}

}  // namespace
}  // namespace tarlek::mon
