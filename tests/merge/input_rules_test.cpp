// The rules every input file of the merge tool follows, over its three
// readers (the program as BIN and as Intel HEX, the resident image file):
// read permission alone decides whether a file is read, and a read error
// after the open is reported, never taken as the end of the file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>

#include "base/hex_text.h"
#include "merge/bin_reader.h"
#include "merge/hex_reader.h"
#include "merge/place_resident.h"
#include "support/intel_hex.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

struct Reader {
  const char* name;
  const char* file;  // the name it reads in the test directory
  Bytes content;     // a file it reads without complaint
  // Runs the reader on path (the resident's reader takes tarlek.bin from
  // the current directory) with the state as a run leaves it before.
  std::function<bool(ProgramState&, Console&, const std::string&)> read;
  // What a read leaves in the state, as text: "" when nothing is to be seen.
  std::function<std::string(const ProgramState&)> loaded;
  // Its one line for a file it may not open, and for one that fails to read.
  std::function<std::string(const std::string&)> cannot_open;
  std::function<std::string(const std::string&)> cannot_read;
};

std::string ProgramEndText(const ProgramState& state) {
  std::string text(HexByte(static_cast<uint8_t>(state.ProgramEnd >> 8)));
  text += HexByte(static_cast<uint8_t>(state.ProgramEnd));
  return text;
}

// A program with both hooks and a long call to 8000h, as the readers leave it.
void LoadCallingProgram(ProgramState& state) {
  LayHooks(state.Image, 0x80);
  state.ProgramEnd = 0x0200;
}

std::vector<Reader> Readers() {
  Bytes hex;
  for (const std::string& line : {RecordLine(0, 0, {1, 2, 3, 4}), std::string(":00000001FF")}) {
    hex.insert(hex.end(), line.begin(), line.end());
    hex.push_back('\n');
  }
  return {
      {"BIN", "prog.bin", Bytes{1, 2, 3, 4},
       [](ProgramState& s, Console& c, const std::string& p) {
         return ReadBinFile(s, c, p.c_str());
       },
       ProgramEndText,
       [](const std::string& p) { return "ERROR - BIN input file " + p + " cannot be opened !\n"; },
       [](const std::string& p) { return "ERROR - BIN input file " + p + " cannot be read !\n"; }},
      {"INTEL HEX", "prog.hex", hex,
       [](ProgramState& s, Console& c, const std::string& p) {
         return ReadHexFile(s, c, p.c_str());
       },
       ProgramEndText,
       [](const std::string& p) {
         return "ERROR - INTEL HEX input file " + p + " cannot be opened !\n";
       },
       [](const std::string& p) {
         return "ERROR - INTEL HEX input file " + p + " cannot be read !\n";
       }},
      {"resident", "tarlek.bin", kExampleResident,
       [](ProgramState& s, Console& c, const std::string&) {
         LoadCallingProgram(s);
         return PlaceResident(s, c);
       },
       // The placed resident's first bytes, or the program's untouched.
       [](const ProgramState& s) {
         std::string text;
         for (uint32_t a = 0x8000; a < 0x8005; ++a) text += HexByte(s.Image[a]);
         return text;
       },
       [](const std::string&) {
         return std::string("ERROR - File Tarlek.bin cannot be found !\n");
       },
       [](const std::string&) {
         return std::string("ERROR - File Tarlek.bin cannot be read !\n");
       }},
  };
}

// One reader's run: whether it read, what it printed, what it left.
std::string Report(const Reader& reader, const std::string& path) {
  auto state = NewState();
  CapturedConsole console;
  const bool ok = reader.read(*state, console, path);
  // Appended, not joined with +: GCC 12 at -O3 takes the insertion at the
  // front that + does for a temporary for an overlapping copy (-Wrestrict).
  std::string report = ok ? "read " : "refused ";
  report += reader.loaded(*state);
  report += ':';
  report += console.Text();
  return report;
}

TEST(InputFiles, ReadPermissionDecidesWritePermissionDoesNot) {
  for (const Reader& reader : Readers()) {
    SCOPED_TRACE(reader.name);
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    InDirectory here(dir.path());
    const std::string path = dir / reader.file;
    WriteFile(path, reader.content);
    // What a read of the file leaves, and what a refused one does.
    const std::string read = Report(reader, path);
    ASSERT_EQ(read.rfind("read ", 0), 0u) << read;
    std::filesystem::remove(path);
    const std::string missing = Report(reader, path);
    WriteFile(path, reader.content);
    const std::pair<mode_t, std::string> cases[] = {
        {0444, read},  // read only: read as by its owner
        {0200, missing.substr(0, missing.find(':') + 1) + reader.cannot_open(path)},
    };
    for (const auto& [mode, want] : cases) {
      SCOPED_TRACE(::testing::Message() << "mode " << std::oct << mode);
      ASSERT_EQ(::chmod(path.c_str(), mode), 0);
      const NobodyRun run = RunAsNobody([&] { return Report(reader, path); });
      if (!run.switched) GTEST_SKIP() << "cannot switch to an unprivileged user";
      EXPECT_EQ(run.report, want);
    }
  }
}

TEST(InputFiles, ReadErrorAfterOpenIsReportedNotTakenAsTheEnd) {
  if (!ReadFailsAfterOpen("/proc/self/mem")) GTEST_SKIP() << "/proc/self/mem does not give EIO";
  for (const Reader& reader : Readers()) {
    SCOPED_TRACE(reader.name);
    TempDir dir;
    InDirectory here(dir.path());
    const std::string path = dir / reader.file;
    std::filesystem::create_symlink("/proc/self/mem", path);
    auto state = NewState();
    CapturedConsole console;
    EXPECT_FALSE(reader.read(*state, console, path));
    EXPECT_EQ(console.Text(), reader.cannot_read(path));
    // Nothing of the program is changed by a resident that could not be read.
    if (std::string(reader.name) == "resident") {
      auto before = NewState();
      LoadCallingProgram(*before);
      EXPECT_TRUE(state->Image == before->Image);
    }
  }
}

}  // namespace
}  // namespace tarlek::testing
