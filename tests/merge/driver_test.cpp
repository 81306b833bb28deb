// The run as a whole, in process: the path split, the letter-case rules, which
// reader and writer a command line chooses and which file it writes, and the
// exit status of each outcome.
#include "merge/driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "base/address_space.h"
#include "base/hex_text.h"
#include "base/version.h"
#include "merge/messages.h"
#include "support/intel_hex.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

struct SplitCase {
  std::string path;
  std::string dir, name, ext;
};

TEST(SplitPath, CutsAtTheLastSlashAndTheLastDotAfterIt) {
  const SplitCase cases[] = {
      {"src/old.x/prog.hex", "src/old.x/", "prog", ".hex"},
      {"old.x/prog", "old.x/", "prog", ""},  // a dot only in the directory
      {"my.prog.hex", "", "my.prog", ".hex"},
      {".hex", "", "", ".hex"},
      {"prog.hex.bak", "", "prog.hex", ".bak"},
      {"prog.", "", "prog", "."},
      {"prog", "", "prog", ""},
      {"/abs/dir/PROG.Bin", "/abs/dir/", "PROG", ".Bin"},
      {"dir/", "dir/", "", ""},
      {"a/.b/c", "a/.b/", "c", ""},
      {"a/b.c/.hex", "a/b.c/", "", ".hex"},
      {"/", "/", "", ""},
      {"", "", "", ""},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.path);
    const PathParts parts = SplitPath(c.path);
    EXPECT_EQ(parts.dir, c.dir);
    EXPECT_EQ(parts.name, c.name);
    EXPECT_EQ(parts.ext, c.ext);
    EXPECT_EQ(std::string(parts.dir) + std::string(parts.name) + std::string(parts.ext), c.path);
  }
}

TEST(EqualsUpperCased, ChangesOnlyTheLettersAToZ) {
  struct Case {
    std::string text;
    std::string upper;
    bool equal;
  };
  const Case cases[] = {
      {".bin", ".BIN", true},
      {".Bin", ".BIN", true},
      {".BIN", ".BIN", true},
      {".hEx", ".HEX", true},
      {"/oh", "/OH", true},
      {"/Oh", "/OH", true},
      {"/oH", "/OH", true},
      {"/ob", "/OB", true},
      {"/oh ", "/OH", false},
      {"-oh", "/OH", false},
      {"/ohx", "/OH", false},
      {"/o", "/OH", false},
      {"", "/OH", false},
      {"", "", true},
      {".bi", ".BIN", false},
      {".binx", ".BIN", false},
      // Bytes next to the letters are not letters: '{' is not '[', '`' not '@'.
      {"{", "[", false},
      {"`", "@", false},
      {"\xE9", "\xC9", false},
      {std::string(".bin\0", 5), ".BIN", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsUpperCased(c.text, c.upper), c.equal) << "\"" << c.text << "\"";
  }
}

// What a command line asks for, decided without touching a file: nothing
// named here exists.
TEST(ParseCommandLine, TurnsTheArgumentsIntoWhatToDo) {
  using Action = Command::Action;
  struct Case {
    std::vector<std::string> args;
    Action action;
    FileKind input_kind;
    FileKind output_kind;
    std::string output;  // for kRun
  };
  const Case cases[] = {
      {{}, Action::kUsage, FileKind::kBin, FileKind::kBin, ""},
      {{"a.bin", "/ob", "x"}, Action::kUsage, FileKind::kBin, FileKind::kBin, ""},
      {{"--help"}, Action::kHelp, FileKind::kBin, FileKind::kBin, ""},
      {{"-h"}, Action::kHelp, FileKind::kBin, FileKind::kBin, ""},
      {{"--version"}, Action::kVersion, FileKind::kBin, FileKind::kBin, ""},
      // Help and version only stand alone; as a file they have no extension.
      {{"--help", "/ob"}, Action::kBadInput, FileKind::kBin, FileKind::kBin, ""},
      {{"--version", "/oh"}, Action::kBadInput, FileKind::kBin, FileKind::kBin, ""},
      {{"prog.hex.bak"}, Action::kBadInput, FileKind::kBin, FileKind::kBin, ""},
      // A bad input hides a bad option.
      {{"prog.txt", "/ox"}, Action::kBadInput, FileKind::kBin, FileKind::kBin, ""},
      {{"prog.bin", "/ox"}, Action::kBadOption, FileKind::kBin, FileKind::kBin, ""},
      {{"prog.bin", "/oh "}, Action::kBadOption, FileKind::kBin, FileKind::kBin, ""},
      {{"dir/prog.Bin"}, Action::kRun, FileKind::kBin, FileKind::kBin, "dir/prog.Bin"},
      {{"dir/prog.HEX"}, Action::kRun, FileKind::kHex, FileKind::kHex, "dir/prog.HEX"},
      {{"dir/prog.HEX", "/Oh"}, Action::kRun, FileKind::kHex, FileKind::kHex, "dir/prog.hex"},
      {{"my.prog.hex", "/oB"}, Action::kRun, FileKind::kHex, FileKind::kBin, "my.prog.bin"},
      {{"a.x/.bin", "/OH"}, Action::kRun, FileKind::kBin, FileKind::kHex, "a.x/.hex"},
  };
  for (const Case& c : cases) {
    std::vector<const char*> argv{"tarlek"};
    std::string shown;
    for (const std::string& a : c.args) {
      argv.push_back(a.c_str());
      shown += " '" + a + "'";
    }
    SCOPED_TRACE(shown);
    const Command command = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(command.action, c.action);
    if (c.action != Action::kRun) continue;
    EXPECT_EQ(command.input_kind, c.input_kind);
    EXPECT_EQ(command.output_kind, c.output_kind);
    EXPECT_STREQ(command.input, c.args[0].c_str());
    EXPECT_EQ(std::string(command.OutputPath()), c.output);
  }
}

// An option's output name that would not fit any path is left empty, so the
// writer can only refuse it.
TEST(ParseCommandLine, OptionOutputTooLongForAPathIsEmpty) {
  const std::string input = std::string(PATH_MAX + 4, 'p') + ".HEX";
  const char* argv[] = {"tarlek", input.c_str(), "/ob"};
  const Command command = ParseCommandLine(3, argv);
  EXPECT_EQ(command.action, Command::Action::kRun);
  EXPECT_STREQ(command.OutputPath(), "");
}

// 40h bytes with both hooks and a long call to 8000h.
Bytes Program() {
  Bytes program(0x40);
  for (size_t i = 0; i < program.size(); ++i) program[i] = static_cast<uint8_t>(0x40 + i);
  LayHooks(program, 0x80);
  return program;
}

// The same program as Intel HEX, in records of 16 bytes.
std::string ProgramAsHex() {
  const Bytes program = Program();
  std::string text;
  for (size_t at = 0; at < program.size(); at += 16) {
    text += RecordLine(0, static_cast<uint16_t>(at),
                       Bytes(program.begin() + static_cast<long>(at),
                             program.begin() + static_cast<long>(at) + 16)) +
            "\n";
  }
  return text + ":00000001FF\n";
}

// The merged image as a binary file: program, 00h up to 7FFFh, resident.
Bytes MergedBin() {
  Bytes merged = Program();
  merged.resize(0x8000, 0x00);
  merged.insert(merged.end(), kExamplePlacedAt80h.begin(), kExamplePlacedAt80h.end());
  return merged;
}

std::string BannerText() {
  CapturedConsole console;
  PrintBanner(console);
  return console.Text();
}

std::string UsageText() {
  CapturedConsole console;
  console.console().SetTextColour(kWhite);
  PrintUsage(console);
  return console.Text();
}

struct InProcessRun {
  int exit_status;
  std::string after_banner;  // what the console shows after the banner
};

InProcessRun RunInDirectory(const std::string& dir, const std::vector<std::string>& args) {
  InDirectory here(dir);
  std::vector<const char*> argv{"tarlek"};
  for (const auto& a : args) argv.push_back(a.c_str());
  auto state = NewState();
  CapturedConsole console;
  const int status = RunTarlek(static_cast<int>(argv.size()), argv.data(), *state, console);
  std::string text = console.Text();
  const std::string banner = BannerText();
  if (text.compare(0, banner.size(), banner) == 0) {
    text.erase(0, banner.size());
  } else {
    text = "(no banner) " + text;
  }
  return {status, text};
}

// Every regular file under dir, by relative path, with its contents.
std::map<std::string, Bytes> Files(const std::string& dir) {
  std::map<std::string, Bytes> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) {
      files[std::filesystem::relative(entry.path(), dir).string()] = ReadFile(entry.path());
    }
  }
  return files;
}

const std::string kSuccess =
    "Tarlek is now located at 8000h\n\nTarlek loading O.K. - thank You for using it.\n";
const std::string kBadInput = "ERROR - BAD input file. It can be 'file.hex' or 'file.bin' only !\n";
std::string BadOption(const std::string& option) {
  return "ERROR - BAD option " + option + ". It can be '/ob' or '/oh' only !\n";
}

enum class Kind { kNone, kBin, kHex };

struct KindCase {
  const char* name;
  std::vector<std::string> inputs;  // files made before the run: *.bin or *.hex by content kind
  std::vector<std::string> args;
  int exit_status;
  std::string after_banner;
  std::string output;  // the one file that changes or appears
  Kind output_kind;
};

std::vector<KindCase> KindCases() {
  // Longer than 255 characters: used whole, never cut.
  std::string long_dir;
  while (long_dir.size() < 300) long_dir += "directory/";
  return {
      {"LongPath",
       {long_dir + "prog.bin"},
       {long_dir + "prog.bin", "/oh"},
       0,
       kSuccess,
       long_dir + "prog.hex",
       Kind::kHex},
      {"BinOverwritten", {"prog.bin"}, {"prog.bin"}, 0, kSuccess, "prog.bin", Kind::kBin},
      {"HexOverwritten", {"prog.hex"}, {"prog.hex"}, 0, kSuccess, "prog.hex", Kind::kHex},
      {"HexWithOhOverwritten",
       {"prog.hex"},
       {"prog.hex", "/oh"},
       0,
       kSuccess,
       "prog.hex",
       Kind::kHex},
      {"HexToBin", {"prog.hex"}, {"prog.hex", "/ob"}, 0, kSuccess, "prog.bin", Kind::kBin},
      {"BinToHex", {"prog.bin"}, {"prog.bin", "/oh"}, 0, kSuccess, "prog.hex", Kind::kHex},
      // Upper-case input, option: a new lower-case file beside it.
      {"UpperHexWithOh", {"prog.HEX"}, {"prog.HEX", "/oh"}, 0, kSuccess, "prog.hex", Kind::kHex},
      {"UpperBinWithOB", {"prog.BIN"}, {"prog.BIN", "/OB"}, 0, kSuccess, "prog.bin", Kind::kBin},
      {"MixedBinWithOhMixed",
       {"prog.Bin"},
       {"prog.Bin", "/Oh"},
       0,
       kSuccess,
       "prog.hex",
       Kind::kHex},
      {"BinWithoH", {"prog.bin"}, {"prog.bin", "/oH"}, 0, kSuccess, "prog.hex", Kind::kHex},
      {"UpperHexAloneOverwritten", {"prog.HEX"}, {"prog.HEX"}, 0, kSuccess, "prog.HEX", Kind::kHex},
      {"OnlyExtension", {".hex"}, {".hex"}, 0, kSuccess, ".hex", Kind::kHex},
      {"OnlyExtensionToBin", {".hex"}, {".hex", "/ob"}, 0, kSuccess, ".bin", Kind::kBin},
      {"DotInName",
       {"my.prog.hex"},
       {"my.prog.hex", "/ob"},
       0,
       kSuccess,
       "my.prog.bin",
       Kind::kBin},
      {"InSubdirectory",
       {"sub.d/prog.bin"},
       {"sub.d/prog.bin", "/oh"},
       0,
       kSuccess,
       "sub.d/prog.hex",
       Kind::kHex},
      // Refused before any file is read.
      {"DotOnlyInDirectory", {"dir.x/prog"}, {"dir.x/prog"}, 1, kBadInput, "", Kind::kNone},
      {"OptionFirst", {"prog.hex"}, {"/oh", "prog.hex"}, 1, kBadInput, "", Kind::kNone},
      {"BackupName", {"prog.hex.bak"}, {"prog.hex.bak"}, 1, kBadInput, "", Kind::kNone},
      {"TrailingDot", {"prog."}, {"prog."}, 1, kBadInput, "", Kind::kNone},
      {"BadInputHidesBadOption", {"prog.txt"}, {"prog.txt", "/ox"}, 1, kBadInput, "", Kind::kNone},
      {"OptionWithBlank",
       {"prog.hex"},
       {"prog.hex", "/oh "},
       1,
       BadOption("/oh "),
       "",
       Kind::kNone},
      {"DashOption", {"prog.hex"}, {"prog.hex", "-oh"}, 1, BadOption("-oh"), "", Kind::kNone},
      {"LongerOption", {"prog.bin"}, {"prog.bin", "/ohx"}, 1, BadOption("/ohx"), "", Kind::kNone},
      {"EmptyOption", {"prog.bin"}, {"prog.bin", ""}, 1, BadOption(""), "", Kind::kNone},
      // The option is checked before the input is read.
      {"BadOptionBeforeMissingInput",
       {},
       {"absent.bin", "/x"},
       1,
       BadOption("/x"),
       "",
       Kind::kNone},
  };
}

TEST(RunTarlek, InputKindOptionAndOutputFile) {
  for (const KindCase& c : KindCases()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir / "tarlek.bin", kExampleResident);
    for (const std::string& input : c.inputs) {
      std::filesystem::create_directories(std::filesystem::path(dir / input).parent_path());
      const bool hex = EqualsUpperCased(SplitPath(input).ext, ".HEX");
      if (hex) {
        WriteFile(dir / input, ProgramAsHex());
      } else {
        WriteFile(dir / input, Program());
      }
    }
    auto expected_files = Files(dir.path());

    const InProcessRun run = RunInDirectory(dir.path(), c.args);
    EXPECT_EQ(run.exit_status, c.exit_status);
    EXPECT_EQ(run.after_banner, c.after_banner);

    auto files = Files(dir.path());
    if (c.output_kind != Kind::kNone) {
      ASSERT_EQ(files.count(c.output), 1u) << c.output << " not written";
      const Bytes written = files[c.output];
      if (c.output_kind == Kind::kBin) {
        EXPECT_TRUE(written == MergedBin()) << c.output << " is not the merged binary";
      } else {
        // After a binary input the first block runs through ProgramEnd, the
        // byte after the program; after Intel HEX, through its last byte.
        const bool from_hex = EqualsUpperCased(SplitPath(c.inputs[0]).ext, ".HEX");
        const LoadedHex loaded =
            LoadRecords(ParseWrittenHex(std::string(written.begin(), written.end())));
        const uint32_t program_last = from_hex ? 0x3F : 0x40;
        EXPECT_EQ(Difference(loaded.covered, Covering({{0, program_last}, {0x8000, 0x8004}})), "")
            << c.output << " does not cover the program and the resident";
        Bytes image = MergedBin();
        image.resize(kAddressSpaceSize, 0x00);
        EXPECT_EQ(Difference(loaded.image, image), "")
            << c.output << " is not the merged image as Intel HEX";
      }
      files.erase(c.output);
      expected_files.erase(c.output);
    }
    // Nothing else appeared or changed.
    EXPECT_TRUE(files == expected_files);
  }
}

TEST(RunTarlek, ExitStatusAndTextOfTheCommandLinesThatDoNotRun) {
  TempDir dir;
  WriteFile(dir / "tarlek.bin", kExampleResident);
  WriteFile(dir / "prog.bin", Program());
  const auto files = Files(dir.path());
  struct Case {
    std::vector<std::string> args;
    int exit_status;
    std::string after_banner;
  };
  const Case cases[] = {
      {{}, 2, UsageText()},
      // Even when the first argument names a good file.
      {{"prog.bin", "/ob", "x"}, 2, UsageText()},
      {{"prog.bin", "/oh", "/ob", "/oh"}, 2, UsageText()},
      {{"-h"}, 0, UsageText()},
      {{"--help"}, 0, UsageText()},
      // Not help: an input path without an extension.
      {{"-H"}, 1, kBadInput},
      {{"--help", "/oh"}, 1, kBadInput},
      {{"--version", "/oh"}, 1, kBadInput},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0] + " ... " + std::to_string(c.args.size()));
    const InProcessRun run = RunInDirectory(dir.path(), c.args);
    EXPECT_EQ(run.exit_status, c.exit_status);
    EXPECT_EQ(run.after_banner, c.after_banner);
  }
  EXPECT_TRUE(Files(dir.path()) == files);
}

TEST(RunTarlek, VersionIsOneLineWithoutBanner) {
  TempDir dir;
  InDirectory here(dir.path());
  const char* argv[] = {"tarlek", "--version"};
  auto state = NewState();
  CapturedConsole console;
  EXPECT_EQ(RunTarlek(2, argv, *state, console), 0);
  EXPECT_EQ(console.Text(), std::string("Tarlek ") + kVersion + "\n");
}

TEST(RunTarlek, EachFailingStepStopsTheRunWithExitStatusOne) {
  struct Case {
    const char* name;
    bool program;   // prog.bin present
    bool resident;  // tarlek.bin present
    bool out_dir;   // prog.hex is a directory, so /oh cannot write it
    std::string after_banner;
  };
  const Case cases[] = {
      // No address line, no closing line.
      {"ReaderFails", false, true, false, "ERROR - BIN input file prog.bin cannot be opened !\n"},
      {"PlacementFails", true, false, false, "ERROR - File Tarlek.bin cannot be found !\n"},
      // The address line stands; the closing line does not.
      {"WriterFails", true, true, true,
       "Tarlek is now located at 8000h\nERROR - INTEL HEX output file prog.hex cannot be "
       "written !\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    if (c.program) WriteFile(dir / "prog.bin", Program());
    if (c.resident) WriteFile(dir / "tarlek.bin", kExampleResident);
    if (c.out_dir) std::filesystem::create_directory(dir / "prog.hex");
    const auto files = Files(dir.path());
    const InProcessRun run = RunInDirectory(dir.path(), {"prog.bin", "/oh"});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(run.after_banner, c.after_banner);
    EXPECT_TRUE(Files(dir.path()) == files);
  }
}

}  // namespace
}  // namespace tarlek::testing
