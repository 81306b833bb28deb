// The real executable in a temporary directory: what each outcome prints after
// the banner, its exit status, that nothing reaches standard error, and which
// files it leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/address_space.h"
#include "support/intel_hex.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

// 200h bytes: a long call to call_high:call_low at 0000h and a long jump at 0023h.
Bytes Program(uint8_t call_high = 0x80, uint8_t call_low = 0x00, uint8_t at_0023 = 0x02) {
  Bytes program(0x200, 0x00);
  for (size_t i = 3; i < program.size(); ++i) program[i] = static_cast<uint8_t>(i * 3 + 1);
  program[0] = 0x12;
  program[1] = call_high;
  program[2] = call_low;
  program[0x23] = at_0023;
  return program;
}

// The banner ends after the empty line below the title, the sixth line.
std::string AfterBanner(const std::string& output) {
  size_t at = 0;
  for (int line = 0; line < 6; ++line) {
    at = output.find('\n', at);
    if (at == std::string::npos) return "(short banner) " + output;
    ++at;
  }
  return output.substr(at);
}

std::map<std::string, Bytes> Files(const std::string& dir) {
  std::map<std::string, Bytes> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.symlink_status().type() == std::filesystem::file_type::regular)
      files[entry.path().filename().string()] = ReadFile(entry.path());
  }
  return files;
}

const std::string kClosing = "\nTarlek loading O.K. - thank You for using it.\n";

// The two hooks of Program() with a long call to 8000h, then more records,
// as Intel HEX text.
Bytes HexProgram(const std::vector<std::string>& more_records) {
  std::string text = RecordLine(0, 0x0000, {0x12, 0x80, 0x00}) + "\n" +
                     RecordLine(0, 0x0023, {0x02, 0x00, 0x30}) + "\n";
  for (const std::string& record : more_records) text += record + "\n";
  text += ":00000001FF\n";
  return Bytes(text.begin(), text.end());
}

TEST(EndToEnd, BinProgramGetsTheResidentAtItsPage) {
  TempDir dir;
  WriteFile(dir / "prog.bin", Program());
  WriteFile(dir / "tarlek.bin", kExampleResident);
  const RunResult run = RunTarlekProcess(dir.path(), {"prog.bin"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(AfterBanner(run.output), "Tarlek is now located at 8000h\n" + kClosing);

  Bytes expected = Program();
  expected.resize(0x8000, 0x00);
  expected.insert(expected.end(), kExamplePlacedAt80h.begin(), kExamplePlacedAt80h.end());
  EXPECT_TRUE(ReadFile(dir / "prog.bin") == expected);
}

struct FailureCase {
  const char* name;
  std::vector<std::string> args;
  // Made before the run: files, directories, symbolic links (name, target).
  std::map<std::string, Bytes> files;
  std::vector<std::string> directories;
  std::vector<std::pair<std::string, std::string>> links;
  int exit_status;
  std::string after_banner;
};

std::vector<FailureCase> FailureCases() {
  const Bytes program = Program();
  const std::map<std::string, Bytes> both{{"prog.bin", program}, {"tarlek.bin", kExampleResident}};
  auto with = [&](const std::string& name, const Bytes& bytes) {
    auto files = both;
    files[name] = bytes;
    return files;
  };
  auto without = [&](const std::string& name) {
    auto files = both;
    files.erase(name);
    return files;
  };
  Bytes long_resident(2 + 2 * 254, 0x00);
  long_resident[0] = 254;
  Bytes program_to_8000(0x8001, 0x00);
  std::copy(program.begin(), program.end(), program_to_8000.begin());
  Bytes program_64k(kAddressSpaceSize, 0x00);
  std::copy(program.begin(), program.end(), program_64k.begin());
  program_64k[1] = 0xFF;
  return {
      {"ThreeArguments",
       {"prog.bin", "/ob", "/oh"},
       both,
       {},
       {},
       2,
       "USAGE:\nTarlek file [/ob or /oh]\n\n"
       "file - INTEL HEX (*.hex) file or BIN (*.bin) file\n\n"
       "/ob - option to force output to BIN file (*.bin)\n"
       "/oh - option to force output to INTEL HEX file (*.hex)\n"
       "If none of above is given, the same type as the input file is generated\n\n"},
      {"BadInputFile",
       {"prog.bin.old"},
       both,
       {},
       {},
       1,
       "ERROR - BAD input file. It can be 'file.hex' or 'file.bin' only !\n"},
      {"BadOption",
       {"prog.bin", "/OX"},
       both,
       {},
       {},
       1,
       "ERROR - BAD option /OX. It can be '/ob' or '/oh' only !\n"},
      {"InputCannotBeOpened",
       {"Prog.bin"},
       both,
       {},
       {},
       1,
       "ERROR - BIN input file Prog.bin cannot be opened !\n"},
      {"InputIsADirectory",
       {"dir.bin"},
       both,
       {"dir.bin"},
       {},
       1,
       "ERROR - BIN input file dir.bin cannot be opened !\n"},
      {"InputCannotBeRead",
       {"mem.bin"},
       both,
       {},
       {{"mem.bin", "/proc/self/mem"}},
       1,
       "ERROR - BIN input file mem.bin cannot be read !\n"},
      // An empty program loads nothing; the missing hooks are found next.
      {"EmptyProgram",
       {"prog.bin"},
       with("prog.bin", {}),
       {},
       {},
       1,
       "ERROR - File Tarlek.inc is not included into source program!\n"},
      {"ResidentNotFound",
       {"prog.bin"},
       without("tarlek.bin"),
       {},
       {},
       1,
       "ERROR - File Tarlek.bin cannot be found !\n"},
      {"ResidentCannotBeRead",
       {"prog.bin"},
       without("tarlek.bin"),
       {},
       {{"tarlek.bin", "/proc/self/mem"}},
       1,
       "ERROR - File Tarlek.bin cannot be read !\n"},
      {"ResidentCorrupted",
       {"prog.bin"},
       with("tarlek.bin", {0x00, 0x80}),
       {},
       {},
       1,
       "ERROR - File Tarlek.bin is corrupted!\n"},
      {"NoHooks",
       {"prog.bin"},
       with("prog.bin", Program(0x80, 0x00, 0x32)),
       {},
       {},
       1,
       "ERROR - File Tarlek.inc is not included into source program!\n"},
      {"StartNotAPage",
       {"prog.bin"},
       with("prog.bin", Program(0x80, 0x12)),
       {},
       {},
       1,
       "ERROR - Tarlek start address 8012h is bad - use address xx00h only !\n"},
      {"StartUnderProgramEnd",
       {"prog.bin"},
       with("prog.bin", program_to_8000),
       {},
       {},
       1,
       "ERROR - Tarlek start address 8000h is under end address of Your program !\n"},
      // The last byte of a HEX program on the resident's first address.
      {"HexProgramEndsOnTheStart",
       {"prog.hex"},
       {{"prog.hex", HexProgram({":01800000AAD5"})}, {"tarlek.bin", kExampleResident}},
       {},
       {},
       1,
       "ERROR - Tarlek start address 8000h is under end address of Your program !\n"},
      // 65,535 bytes are loaded: every page starts below the program's end.
      {"Program65536Bytes",
       {"prog.bin"},
       with("prog.bin", program_64k),
       {},
       {},
       1,
       "ERROR - Tarlek start address FF00h is under end address of Your program !\n"},
      {"ResidentTooHigh",
       {"prog.bin"},
       {{"prog.bin", Program(0xFF, 0x00)}, {"tarlek.bin", long_resident}},
       {},
       {},
       1,
       "ERROR - Tarlek start address is to high - Tarlek exceeds address FFFFh !\n"},
      // Names and options are shown as typed, but no control byte reaches
      // the terminal: each is a '?'. Other bytes, UTF-8 too, stay.
      {"InputNameWithControlBytes",
       {"b\x1b]0;x\a\x1b[2J.bin"},
       both,
       {},
       {},
       1,
       "ERROR - BIN input file b?]0;x??[2J.bin cannot be opened !\n"},
      {"HexInputNameWithControlBytes",
       {"pr\xC3\xB6g\x7F\t\x01.hex"},
       both,
       {},
       {},
       1,
       "ERROR - INTEL HEX input file pr\xC3\xB6g???.hex cannot be opened !\n"},
      {"OptionWithControlBytes",
       {"prog.bin", "/o\x1b[2J\x9b"},
       both,
       {},
       {},
       1,
       "ERROR - BAD option /o?[2J\x9b. It can be '/ob' or '/oh' only !\n"},
      {"OutputNameWithControlBytes",
       {"d\x1b[1m.BIN", "/ob"},
       {{"d\x1b[1m.BIN", program}, {"tarlek.bin", kExampleResident}},
       {"d\x1b[1m.bin"},
       {},
       1,
       "Tarlek is now located at 8000h\n"
       "ERROR - BIN output file d?[1m.bin cannot be written !\n"},
      // The address line stands; the closing line does not.
      {"OutputCannotBeWritten",
       {"prog.BIN", "/ob"},
       {{"prog.BIN", program}, {"tarlek.bin", kExampleResident}},
       {"prog.bin"},
       {},
       1,
       "Tarlek is now located at 8000h\n"
       "ERROR - BIN output file prog.bin cannot be written !\n"},
  };
}

TEST(EndToEnd, EachFailurePrintsOnlyItsLineAfterTheBanner) {
  const bool eio = ReadFailsAfterOpen("/proc/self/mem");
  std::string skipped;
  for (const FailureCase& c : FailureCases()) {
    SCOPED_TRACE(c.name);
    if (!c.links.empty() && !eio) {
      skipped += std::string(" ") + c.name;
      continue;
    }
    TempDir dir;
    for (const auto& [name, bytes] : c.files) WriteFile(dir / name, bytes);
    for (const auto& name : c.directories) std::filesystem::create_directory(dir / name);
    for (const auto& [name, target] : c.links) std::filesystem::create_symlink(target, dir / name);
    const auto before = Files(dir.path());

    const RunResult run = RunTarlekProcess(dir.path(), c.args);
    EXPECT_EQ(run.exit_status, c.exit_status);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(AfterBanner(run.output), c.after_banner);
    EXPECT_TRUE(Files(dir.path()) == before) << "files changed";
  }
  if (!skipped.empty()) GTEST_SKIP() << "/proc/self/mem gives no read error here:" << skipped;
}

// A binary program that fills every byte below the resident's page: the HEX
// output gives each address one record, which other tools require.
TEST(EndToEnd, BinProgramUpToTheResidentGivesEachAddressOnceAsHex) {
  TempDir dir;
  Bytes program = Program();
  program.resize(0x8000, 0xA5);
  WriteFile(dir / "prog.bin", program);
  WriteFile(dir / "tarlek.bin", kExampleResident);
  const RunResult run = RunTarlekProcess(dir.path(), {"prog.bin", "/oh"});
  ASSERT_EQ(run.exit_status, 0) << run.output;

  const LoadedHex loaded = LoadRecords(ParseWrittenHex(ReadText(dir / "prog.hex")));
  EXPECT_EQ(Difference(loaded.covered, Covering({{0x0000, 0x8004}})), "");
  Bytes expected = program;
  expected.insert(expected.end(), kExamplePlacedAt80h.begin(), kExamplePlacedAt80h.end());
  expected.resize(kAddressSpaceSize, 0x00);
  EXPECT_EQ(Difference(loaded.image, expected), "");
}

}  // namespace
}  // namespace tarlek::testing
