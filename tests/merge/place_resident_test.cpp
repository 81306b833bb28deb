// Placing the resident: the resident image file's bytes, the two hooks of
// Tarlek.inc (LCALL at 0000h, LJMP at 0023h), the start address the long call
// names and the relocation to its page, on bytes in memory; then the file
// "tarlek.bin" in the current directory, as PlaceResident reads it.
#include "merge/place_resident.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/intel_hex.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

// N unflagged code bytes 01h, 02h, ... (wrapping), a file of 2N + 2 bytes.
Bytes PlainResident(size_t n) {
  Bytes code(n);
  for (size_t k = 0; k < n; ++k) code[k] = static_cast<uint8_t>(k + 1);
  return ResidentFile(Bytes(n, 0), code);
}

// A developer's program as a reader leaves it: both hooks, a long call to
// call_target and the given ProgramEnd, one past the program as the BIN
// reader sets it, or its last byte as the HEX reader does.
void LoadProgram(ProgramState& state, uint16_t call_target, uint16_t program_end,
                 bool end_is_last = false) {
  state.Image[0x0000] = 0x12;
  state.Image[0x0001] = static_cast<uint8_t>(call_target >> 8);
  state.Image[0x0002] = static_cast<uint8_t>(call_target & 0xFF);
  state.Image[0x0023] = 0x02;
  for (uint16_t a = 3; a < program_end && a < 0x23; ++a) state.Image[a] = 0xA5;
  state.ProgramEnd = program_end;
  state.ProgramEndIsLast = end_is_last;
}

std::string Line(const std::string& text) { return text + "\n"; }

const std::string kNotFound = "ERROR - File Tarlek.bin cannot be found !";
const std::string kCorrupted = "ERROR - File Tarlek.bin is corrupted!";
const std::string kNotIncluded = "ERROR - File Tarlek.inc is not included into source program!";
const std::string kTooHigh =
    "ERROR - Tarlek start address is to high - Tarlek exceeds address FFFFh !";
std::string BadAddress(const std::string& digits) {
  return "ERROR - Tarlek start address " + digits + "h is bad - use address xx00h only !";
}
std::string UnderEnd(const std::string& digits) {
  return "ERROR - Tarlek start address " + digits + "h is under end address of Your program !";
}

struct FailureCase {
  const char* name;
  // The resident image file: its bytes, or nothing (no file), or a directory;
  // the bytes go to the placement in memory, the others need a file.
  std::optional<Bytes> file;
  bool file_is_directory;
  uint16_t call_target;
  uint16_t program_end;
  // Changes to the loaded program, byte at address -> value.
  std::vector<std::pair<uint16_t, uint8_t>> patches;
  std::string line;
  bool end_is_last = false;  // ProgramEnd as the HEX reader sets it
};

Bytes OfSize(size_t size, uint8_t low, uint8_t high) {
  Bytes file(size, 0x00);
  if (size > 0) file[0] = low;
  if (size > 1) file[1] = high;
  return file;
}

// In the order in which the checks are made: a fault that an earlier check
// finds hides every later one.
std::vector<FailureCase> FailureCases() {
  const Bytes good = kExampleResident;
  return {
      {"NoResidentFile", std::nullopt, false, 0x8000, 0x0200, {}, kNotFound},
      {"NoResidentFileAndNoHooks",
       std::nullopt,
       false,
       0x8000,
       0x0200,
       {{0x0000, 0x00}, {0x0023, 0x00}},
       kNotFound},
      {"ResidentFileIsADirectory", std::nullopt, true, 0x8000, 0x0200, {}, kNotFound},
      {"EmptyFile", Bytes{}, false, 0x8000, 0x0200, {}, kCorrupted},
      {"OneByteFile", Bytes{0x00}, false, 0x8000, 0x0200, {}, kCorrupted},
      {"ThreeByteFile", Bytes{0x01, 0x00, 0x00}, false, 0x8000, 0x0200, {}, kCorrupted},
      {"OddSize13Bytes", OfSize(13, 0x05, 0x00), false, 0x8000, 0x0200, {}, kCorrupted},
      {"LengthFieldTooSmall", OfSize(14, 0x05, 0x00), false, 0x8000, 0x0200, {}, kCorrupted},
      {"LengthFieldTooLarge", OfSize(10, 0x05, 0x00), false, 0x8000, 0x0200, {}, kCorrupted},
      // 2 x 8000h + 2 is 65538, which must not wrap to 2.
      {"Length8000hInTwoByteFile", Bytes{0x00, 0x80}, false, 0x8000, 0x0200, {}, kCorrupted},
      // One byte more than the largest resident, length field 14999.
      {"File30001Bytes", OfSize(30001, 0x97, 0x3A), false, 0x0100, 0x0024, {}, kCorrupted},
      // Longer than the buffer, though its length field matches its size.
      {"File30002BytesSelfConsistent",
       OfSize(30002, 0x98, 0x3A),
       false,
       0x0100,
       0x0024,
       {},
       kCorrupted},
      {"CorruptedBeforeMissingHooks",
       Bytes{0x01},
       false,
       0x8012,
       0x9000,
       {{0x0000, 0x02}, {0x0023, 0x00}},
       kCorrupted},
      {"LjmpAt0000h", good, false, 0x8000, 0x0200, {{0x0000, 0x02}}, kNotIncluded},
      {"NothingAt0023h", good, false, 0x8000, 0x0200, {{0x0023, 0x00}}, kNotIncluded},
      {"LcallAt0023h", good, false, 0x8000, 0x0200, {{0x0023, 0x12}}, kNotIncluded},
      {"MissingHooksBeforeBadAddress", good, false, 0x8012, 0x9000, {{0x0023, 0x32}}, kNotIncluded},
      {"CallTo8012h", good, false, 0x8012, 0x0200, {}, BadAddress("8012")},
      {"CallToFF01h", good, false, 0xFF01, 0x0200, {}, BadAddress("FF01")},
      {"BadAddressBeforeUnderEnd", good, false, 0x00FF, 0x0200, {}, BadAddress("00FF")},
      {"CallTo0000h", good, false, 0x0000, 0x0024, {}, UnderEnd("0000")},
      {"ProgramEndOnePastStart", good, false, 0x8000, 0x8001, {}, UnderEnd("8000")},
      {"ProgramEndFFFFh", good, false, 0xFF00, 0xFFFF, {}, UnderEnd("FF00")},
      // A HEX program's last byte on the start address would be overwritten.
      {"HexProgramEndsOnStart", good, false, 0x8000, 0x8000, {}, UnderEnd("8000"), true},
      {"HexProgramEndsPastStart", good, false, 0x8000, 0x8001, {}, UnderEnd("8000"), true},
      {"UnderEndBeforeTooHigh", PlainResident(254), false, 0xFF00, 0xFF01, {}, UnderEnd("FF00")},
      // FF00h + 254 + 2 = 10000h: the last byte would land on FFFDh.
      {"FF00hWith254Bytes", PlainResident(254), false, 0xFF00, 0x0200, {}, kTooHigh},
      {"FF00hWith14999Bytes", PlainResident(14999), false, 0xFF00, 0x0200, {}, kTooHigh},
      {"C600hWith14999Bytes", PlainResident(14999), false, 0xC600, 0x0200, {}, kTooHigh},
  };
}

TEST(PlaceResident, EachFailureGivesItsOneLineAndLeavesImageAlone) {
  for (const FailureCase& c : FailureCases()) {
    SCOPED_TRACE(c.name);
    auto state = NewState();
    LoadProgram(*state, c.call_target, c.program_end, c.end_is_last);
    for (const auto& [address, value] : c.patches) state->Image[address] = value;
    const auto before = state->Image;
    CapturedConsole console;

    if (c.file) {
      EXPECT_FALSE(PlaceResidentImage(*state, console, *c.file));
    } else {
      TempDir dir;
      InDirectory here(dir.path());
      if (c.file_is_directory) std::filesystem::create_directory(dir / "tarlek.bin");
      EXPECT_FALSE(PlaceResident(*state, console));
    }
    EXPECT_EQ(console.Text(), Line(c.line));
    EXPECT_TRUE(state->Image == before) << "Image changed";
    EXPECT_EQ(state->ProgramEnd, c.program_end);
  }
}

struct SuccessCase {
  const char* name;
  Bytes file;
  uint16_t start;
  uint16_t program_end;
  uint16_t resident_end;
  Bytes placed;              // expected at start onward
  bool end_is_last = false;  // ProgramEnd as the HEX reader sets it
};

TEST(PlaceResident, PlacesAndRelocatesToThePageOfTheLongCall) {
  const SuccessCase cases[] = {
      // Only the jump's high address byte moves; the unflagged 80h opcode stays.
      {"WorkedExample", kExampleResident, 0x8000, 0x0200, 0x8004, kExamplePlacedAt80h},
      {"WorkedExampleAtPage01h",
       kExampleResident,
       0x0100,
       0x0030,
       0x0104,
       {0x02, 0x01, 0x03, 0x80, 0xFE}},
      // Any non-zero flag relocates; the sum wraps modulo 256.
      {"FlagsOf01h80hFFh",
       ResidentFile({0x01, 0x80, 0xFF, 0x00}, {0x10, 0x20, 0xFF, 0xFF}),
       0x8000,
       0x0200,
       0x8003,
       {0x90, 0xA0, 0x7F, 0xFF}},
      // A start equal to ProgramEnd passes after the BIN reader, and right
      // after the last byte of a HEX program.
      {"StartEqualToProgramEnd", kExampleResident, 0x8000, 0x8000, 0x8004, kExamplePlacedAt80h},
      {"StartRightAfterHexProgram", kExampleResident, 0x8000, 0x7FFF, 0x8004, kExamplePlacedAt80h,
       true},
      // The highest resident: FF00h..FFFCh.
      {"FF00hWith253Bytes", PlainResident(253), 0xFF00, 0x0200, 0xFFFC, {}},
  };
  for (const SuccessCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto state = NewState();
    LoadProgram(*state, c.start, c.program_end, c.end_is_last);
    // Bytes already in the range are overwritten; the three bytes after it
    // are left as they were.
    const uint32_t n = uint32_t{c.file[0]} | uint32_t{c.file[1]} << 8;
    for (uint32_t a = c.start; a < c.start + n + 3u && a <= 0xFFFF; ++a) state->Image[a] = 0x5A;
    auto expected = state->Image;
    for (size_t k = 0; k < c.placed.size(); ++k) expected[c.start + k] = c.placed[k];
    if (c.placed.empty()) {
      for (uint32_t k = 0; k < n; ++k) expected[c.start + k] = c.file[2 + n + k];
    }
    CapturedConsole console;

    ASSERT_TRUE(PlaceResidentImage(*state, console, c.file));
    EXPECT_EQ(console.Text(), "");
    EXPECT_EQ(state->ResidentStart, c.start);
    EXPECT_EQ(state->ResidentPage, c.start >> 8);
    EXPECT_EQ(state->ResidentLength, n);
    EXPECT_EQ(state->ResidentEnd, c.resident_end);
    EXPECT_EQ(state->ProgramEnd, c.program_end);
    EXPECT_EQ(Difference(state->Image, expected), "");
  }
}

TEST(PlaceResident, EmptyResidentPlacesNothingAndEndsBelowItsStart) {
  auto state = NewState();
  LoadProgram(*state, 0x8000, 0x0200);
  state->Image[0x8000] = 0x77;
  const auto before = state->Image;
  CapturedConsole console;

  ASSERT_TRUE(PlaceResidentImage(*state, console, Bytes{0x00, 0x00}));
  EXPECT_EQ(console.Text(), "");
  EXPECT_EQ(state->ResidentStart, 0x8000);
  EXPECT_EQ(state->ResidentLength, 0);
  EXPECT_EQ(state->ResidentEnd, 0x7FFF);
  EXPECT_TRUE(state->Image == before);
}

TEST(PlaceResident, LargestResidentOf14999BytesIsPlacedWhole) {
  Bytes flags(14999), code(14999);
  for (size_t k = 0; k < code.size(); ++k) {
    code[k] = static_cast<uint8_t>(k * 7);
    flags[k] = k % 3 == 0 ? 0x01 : 0x00;
  }
  const Bytes file = ResidentFile(flags, code);
  ASSERT_EQ(file.size(), 30000u);
  ASSERT_EQ(file[0], 0x97);
  ASSERT_EQ(file[1], 0x3A);
  auto state = NewState();
  LoadProgram(*state, 0x1000, 0x0024);
  CapturedConsole console;

  ASSERT_TRUE(PlaceResidentImage(*state, console, file));
  EXPECT_EQ(console.Text(), "");
  EXPECT_EQ(state->ResidentEnd, 0x1000 + 14999 - 1);
  for (size_t k = 0; k < code.size(); ++k) {
    const uint8_t want = flags[k] ? static_cast<uint8_t>(code[k] + 0x10) : code[k];
    ASSERT_EQ(state->Image[0x1000 + k], want) << "resident byte " << k;
  }
  EXPECT_EQ(state->Image[0x1000 + 14999], 0x00);
}

// The file as PlaceResident reads it: the example placed, the largest file
// whole, and a longer one (whose length field matches its size) cut at the
// buffer's size and refused.
TEST(PlaceResident, ReadsTheFileWholeUpToTheLargestValidSize) {
  const struct {
    const char* name;
    Bytes file;
    bool placed;
  } cases[] = {
      {"Example", kExampleResident, true},
      {"Largest", PlainResident(14999), true},
      {"LongerThanTheBuffer", OfSize(30002, 0x98, 0x3A), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    InDirectory here(dir.path());
    WriteFile(dir / "tarlek.bin", c.file);
    auto state = NewState();
    LoadProgram(*state, 0x1000, 0x0024);
    CapturedConsole console;
    EXPECT_EQ(PlaceResident(*state, console), c.placed);
    EXPECT_EQ(console.Text(), c.placed ? "" : Line(kCorrupted));
  }
}

TEST(PlaceResident, OnlyTheLowerCaseNameInTheCurrentDirectoryCounts) {
  TempDir dir;
  std::filesystem::create_directory(dir / "work");
  InDirectory here(dir / "work");
  // Beside it, or under another letter case: neither is the resident file.
  WriteFile(dir / "tarlek.bin", kExampleResident);
  WriteFile(dir / "work/Tarlek.bin", kExampleResident);
  WriteFile(dir / "work/TARLEK.BIN", kExampleResident);
  auto state = NewState();
  LoadProgram(*state, 0x8000, 0x0200);
  CapturedConsole console;
  EXPECT_FALSE(PlaceResident(*state, console));
  EXPECT_EQ(console.Text(), Line(kNotFound));
}

}  // namespace
}  // namespace tarlek::testing
