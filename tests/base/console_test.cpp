// The console: plain text with LF line ends when standard output is redirected,
// ANSI colour sequences when it is a terminal. The terminal cases run the real
// executable on a pseudo-terminal.
#include "base/console.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace tarlek::testing {
namespace {

constexpr char kEsc = '\x1b';

// What a colour change sends, read from a console that captures it.
struct ColourCase {
  uint8_t from;
  uint8_t to;
  const char* sent;
  uint8_t attribute;  // afterwards
};

TEST(ConsoleColour, SendsTheSgrSequenceOfEachChange) {
  const ColourCase cases[] = {
      // The changes that the banner and the usage text make, in order.
      {0x07, 0x0D, "\x1b[1;35m", 0x0D},
      {0x0D, 0x0B, "\x1b[0;1;36m", 0x0B},
      {0x0B, 0x0E, "\x1b[0;1;33m", 0x0E},
      {0x0E, 0x0F, "\x1b[0;1m", 0x0F},
      {0x0F, 0x07, "\x1b[m", 0x07},
      // The same colour again sends nothing.
      {0x0F, 0x0F, "", 0x0F},
      {0x07, 0x07, "", 0x07},
      {0x0D, 0x0D, "", 0x0D},
      // The palette order differs from the SGR digits: blue 1 is 34, red 4 is 31.
      {0x07, 0x01, "\x1b[34m", 0x01},
      {0x07, 0x0C, "\x1b[1;31m", 0x0C},
      {0x07, 0x06, "\x1b[33m", 0x06},
      {0x07, 0x00, "\x1b[30m", 0x00},
      {0x07, 0x0F, "\x1b[1m", 0x0F},
      // Leaving a bright colour for a dim one needs the reset.
      {0x0D, 0x02, "\x1b[0;32m", 0x02},
      {0x01, 0x07, "\x1b[m", 0x07},
  };
  for (const ColourCase& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << int{c.from} << " to " << int{c.to});
    CapturedConsole captured(true);
    Console& console = captured;
    console.SetTextColour(c.from);
    ASSERT_EQ(console.TextAttribute(), c.from);
    const size_t before = captured.Text().size();
    console.SetTextColour(c.to);
    EXPECT_EQ(captured.Text().substr(before), c.sent);
    EXPECT_EQ(console.TextAttribute(), c.attribute);
  }
}

TEST(ConsoleColour, OnATerminalOpensWithAResetAndSendsChangesAtOnce) {
  CapturedConsole captured(true);
  Console& console = captured;
  EXPECT_EQ(console.TextAttribute(), kLightGrey);
  console.Write("a");
  console.SetTextColour(kWhite);
  console.Write("b");
  console.NormalIntensity();
  console.WriteLine("c");
  EXPECT_EQ(captured.Text(), "\x1b[ma\x1b[1mb\x1b[mc\n");
}

TEST(ConsoleColour, WithoutColourOnlyTheAttributeChanges) {
  CapturedConsole captured(false);
  Console& console = captured;
  console.SetTextColour(kLightMagenta);
  EXPECT_EQ(console.TextAttribute(), kLightMagenta);
  console.WriteLine("x");
  console.SetTextColour(kWhite);
  console.NormalIntensity();
  EXPECT_EQ(console.TextAttribute(), kLightGrey);
  console.WriteLine();
  EXPECT_EQ(captured.Text(), "x\n\n");
}

TEST(ConsoleColour, NormalIntensityClearsBrightAndBlinkOnly) {
  const std::pair<uint8_t, uint8_t> cases[] = {
      {kWhite, kLightGrey}, {kYellow, 0x06}, {kLightGrey, kLightGrey},
      {0x8F, kLightGrey},   {0x01, 0x01},
  };
  for (const auto& [from, to] : cases) {
    CapturedConsole captured;
    Console& console = captured;
    console.SetTextColour(from);
    console.NormalIntensity();
    EXPECT_EQ(console.TextAttribute(), to) << std::hex << int{from};
  }
}

TEST(ConsoleWrite, LongTextIsWrittenWhole) {
  CapturedConsole captured;
  std::string text(5000, 'x');
  for (size_t i = 0; i < text.size(); i += 97) text[i] = static_cast<char>('a' + i % 26);
  captured.console().Write("<");
  captured.console().WriteLine(text);
  EXPECT_EQ(captured.Text(), "<" + text + "\n");
}

TEST(ConsoleWrite, QuotedTextShowsEachControlByteAsAQuestionMark) {
  struct Case {
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {"prog.hex", "prog.hex"},
      {"", ""},
      {std::string("a\0b", 3), "a?b"},
      {"\x1b]0;x\a\x1b[2J", "?]0;x??[2J"},
      {"\x1f\x20\x7e\x7f", "? ~?"},
      {"tab\there\r\n", "tab?here??"},
      // Bytes from 80h up, UTF-8 and stray ones alike, are written as they are.
      {"pr\xC3\xB6g \xE2\x82\xAC \x80\x9B\xFF", "pr\xC3\xB6g \xE2\x82\xAC \x80\x9B\xFF"},
      {std::string(3000, '\x1b') + "x", std::string(3000, '?') + "x"},
  };
  for (const Case& c : cases) {
    CapturedConsole captured;
    captured.console().WriteQuoted(c.text);
    EXPECT_EQ(captured.Text(), c.shown) << c.shown;
  }
}

// The banner and usage text of a run without arguments, as plain text; the
// attribution line (line 3) is taken from the run itself.
std::vector<std::string> UsageLines(const std::string& attribution) {
  return {
      "",
      "                     * ZEPHYRAN Research *",
      attribution,
      "",
      "                      T A R L E K",
      "",
      "USAGE:",
      "Tarlek file [/ob or /oh]",
      "",
      "file - INTEL HEX (*.hex) file or BIN (*.bin) file",
      "",
      "/ob - option to force output to BIN file (*.bin)",
      "/oh - option to force output to INTEL HEX file (*.hex)",
      "If none of above is given, the same type as the input file is generated",
      "",
  };
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start != text.size()) lines.push_back(text.substr(start));  // unterminated rest
  return lines;
}

TEST(ConsoleRedirected, NoArgumentPrintsExactlyTheFifteenLinesOfBannerAndUsage) {
  TempDir dir;
  const RunResult run = RunTarlekProcess(dir.path(), {});
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.output.find(kEsc), std::string::npos);
  EXPECT_EQ(run.output.find('\r'), std::string::npos);
  ASSERT_FALSE(run.output.empty());
  EXPECT_EQ(run.output.back(), '\n');
  const std::vector<std::string> lines = SplitLines(run.output);
  ASSERT_EQ(lines.size(), 15u) << run.output;
  const std::string& attribution = lines[2];
  EXPECT_NE(attribution.find_first_not_of(' '), std::string::npos) << "attribution line is blank";
  EXPECT_EQ(lines, UsageLines(attribution));
}

// A run of the real executable with its standard output (and input and error)
// on a pseudo-terminal, with the given environment.
struct TerminalRun {
  int exit_status = -1;
  std::string output;  // with the terminal's CR LF line ends turned back into LF
};

TerminalRun RunOnTerminal(const std::string& cwd, const std::vector<std::string>& args,
                          const std::vector<std::string>& env) {
  std::vector<const char*> argv{TARLEK_EXE};
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  std::vector<const char*> envp;
  for (const auto& e : env) envp.push_back(e.c_str());
  envp.push_back(nullptr);

  int master = -1;
  const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return {};
  if (pid == 0) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::execve(TARLEK_EXE, const_cast<char* const*>(argv.data()),
             const_cast<char* const*>(envp.data()));
    ::_exit(127);
  }
  std::string raw;
  char buffer[4096];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 20000) <= 0) break;  // a hung child: give up rather than block
    const ssize_t n = ::read(master, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the child has closed the terminal
    raw.append(buffer, static_cast<size_t>(n));
  }
  ::close(master);
  int status = 0;
  ::waitpid(pid, &status, 0);
  TerminalRun run;
  if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    run.output += raw[i];
  }
  return run;
}

const std::vector<std::string> kColourEnv{"TERM=xterm", "PATH=/usr/bin:/bin"};

std::string AttributionLine(const std::string& cwd) {
  const std::vector<std::string> lines = SplitLines(RunTarlekProcess(cwd, {}).output);
  return lines.size() > 2 ? lines[2] : std::string();
}

std::string ColouredBanner(const std::string& attribution) {
  return std::string("\x1b[m") + "\n" +                                   //
         "\x1b[1;35m" + "                     * ZEPHYRAN Research *\n" +  //
         "\x1b[0;1;36m" + attribution + "\n" +                            //
         "\x1b[0;1;33m" + "\n" +                                          //
         "                      T A R L E K\n" +                          //
         "\n" +                                                           //
         "\x1b[0;1m";
}

TEST(ConsoleTerminal, UsageIsColouredWithTheExactSequencesInOrder) {
  TempDir dir;
  const std::string attribution = AttributionLine(dir.path());
  const TerminalRun run = RunOnTerminal(dir.path(), {}, kColourEnv);
  EXPECT_EQ(run.exit_status, 2);
  const std::string expected = ColouredBanner(attribution) +
                               "USAGE:\n"
                               "Tarlek file [/ob or /oh]\n"
                               "\x1b[m"
                               "\n"
                               "file - INTEL HEX (*.hex) file or BIN (*.bin) file\n"
                               "\n"
                               "/ob - option to force output to BIN file (*.bin)\n"
                               "/oh - option to force output to INTEL HEX file (*.hex)\n"
                               "If none of above is given, the same type as the input file is "
                               "generated\n"
                               "\n";
  EXPECT_EQ(run.output, expected);
}

Bytes HookedProgram() {
  Bytes program(0x40, 0x00);
  LayHooks(program, 0x80);
  return program;
}

TEST(ConsoleTerminal, RunProperIsLightGreyFromRightAfterTheBanner) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string after_banner;
    int exit_status;
  };
  const Case cases[] = {
      {"Success",
       {"prog.bin"},
       "Tarlek is now located at 8000h\n\nTarlek loading O.K. - thank You for using it.\n",
       0},
      {"BadInput",
       {"prog.txt"},
       "ERROR - BAD input file. It can be 'file.hex' or 'file.bin' only !\n",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir / "prog.bin", HookedProgram());
    WriteFile(dir / "tarlek.bin", kExampleResident);
    const std::string attribution = AttributionLine(dir.path());
    const TerminalRun run = RunOnTerminal(dir.path(), c.args, kColourEnv);
    EXPECT_EQ(run.exit_status, c.exit_status);
    // One reset right after the banner, and no colour sequence after it.
    EXPECT_EQ(run.output, ColouredBanner(attribution) + "\x1b[m" + c.after_banner);
  }
}

TEST(ConsoleTerminal, NoColorOrDumbTerminalGivesPlainText) {
  TempDir dir;
  const std::string plain = RunTarlekProcess(dir.path(), {}).output;
  ASSERT_FALSE(plain.empty());
  const std::vector<std::string> envs[] = {
      {"TERM=xterm", "NO_COLOR=1"},
      {"TERM=dumb"},
      {"TERM=dumb", "NO_COLOR="},
  };
  for (const auto& env : envs) {
    SCOPED_TRACE(env[0] + (env.size() > 1 ? " " + env[1] : ""));
    const TerminalRun run = RunOnTerminal(dir.path(), {}, env);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.output, plain);
  }
  // An empty NO_COLOR does not count: colour as usual.
  const TerminalRun coloured = RunOnTerminal(dir.path(), {}, {"TERM=xterm", "NO_COLOR="});
  EXPECT_EQ(coloured.output.substr(0, 4), "\x1b[m\n");
}

}  // namespace
}  // namespace tarlek::testing
