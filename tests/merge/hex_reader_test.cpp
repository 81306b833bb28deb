#include "merge/hex_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/address_space.h"
#include "support/intel_hex.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

// The record most cases are built around: 01 02 03 04 at 0010h..0013h.
const std::string kRecord = ":0400100001020304E2";
const std::string kEof = ":00000001FF";

struct Stored {
  uint16_t address;
  Bytes bytes;
};
const std::vector<Stored> kRecordBytes = {{0x0010, {0x01, 0x02, 0x03, 0x04}}};

struct ReadCase {
  std::string name;
  std::string text;            // the whole file
  std::vector<Stored> stored;  // every non-zero byte of the image afterwards
  uint16_t program_end;
};

// n data bytes with real, varied values.
Bytes Varied(size_t n) {
  Bytes data(n);
  for (size_t k = 0; k < n; ++k) data[k] = static_cast<uint8_t>(k * 37 + 11);
  return data;
}

std::vector<ReadCase> LongRecordCases() {
  std::vector<ReadCase> cases;
  for (size_t n : {122u, 123u, 124u, 200u, 255u}) {
    cases.push_back({"record_of_" + std::to_string(n) + "_bytes",
                     RecordLine(0, 0x1000, Varied(n)) + "\n" + kEof + "\n",
                     {{0x1000, Varied(n)}},
                     static_cast<uint16_t>(0x1000 + n - 1)});
  }
  return cases;
}

// The file is read in blocks of a few kilobytes: a line end, or a record,
// that straddles a block boundary must read the same.
std::vector<ReadCase> BlockBoundaryCases() {
  std::vector<ReadCase> cases;
  for (size_t filler :
       {4093u, 4094u, 4095u, 4096u, 16370u, 16380u, 16381u, 16382u, 16383u, 16384u}) {
    for (std::string end : {"\n", "\r\n", "\r"}) {
      const std::string end_name = end == "\n" ? "lf" : end == "\r" ? "cr" : "crlf";
      cases.push_back({"filler_" + std::to_string(filler) + "_" + end_name,
                       std::string(filler, ';') + end + kRecord + end +
                           RecordLine(0, 0x0100, Varied(255)) + end,
                       {{0x0010, {0x01, 0x02, 0x03, 0x04}}, {0x0100, Varied(255)}},
                       0x01FE});
    }
  }
  return cases;
}

std::vector<ReadCase> ReadCases() {
  std::vector<ReadCase> cases = {
      {"well_formed", kRecord + "\n" + kEof + "\n", kRecordBytes, 0x0013},
      {"wrong_checksum", ":040010000102030400\n", kRecordBytes, 0x0013},
      {"no_colon", "X0400100001020304E2\n", kRecordBytes, 0x0013},
      {"lower_case", ":04001000a1b2c3d402\n", {{0x0010, {0xA1, 0xB2, 0xC3, 0xD4}}}, 0x0013},
      {"eof_record_mid_file",
       kEof + "\n" + kRecord + "\n:02002000AABB79\n",
       {{0x0010, {0x01, 0x02, 0x03, 0x04}}, {0x0020, {0xAA, 0xBB}}},
       0x0021},
      {"crlf",
       kRecord + "\r\n:02002000AABB79\r\n" + kEof + "\r\n",
       {{0x0010, {0x01, 0x02, 0x03, 0x04}}, {0x0020, {0xAA, 0xBB}}},
       0x0021},
      {"lone_cr",
       kRecord + "\r:02002000AABB79\r" + kEof + "\r",
       {{0x0010, {0x01, 0x02, 0x03, 0x04}}, {0x0020, {0xAA, 0xBB}}},
       0x0021},
      {"mixed_line_ends",
       ":0100050011E9\r" + kRecord + "\r\n:02002000AABB79\n",
       {{0x0005, {0x11}}, {0x0010, {0x01, 0x02, 0x03, 0x04}}, {0x0020, {0xAA, 0xBB}}},
       0x0021},
      {"last_line_without_lf",
       ":0100050011E9\n" + kRecord,
       {{0x0005, {0x11}}, {0x0010, {0x01, 0x02, 0x03, 0x04}}},
       0x0013},
      {"last_line_without_lf_after_cr",
       ":0100050011E9\r" + kRecord,
       {{0x0005, {0x11}}, {0x0010, {0x01, 0x02, 0x03, 0x04}}},
       0x0013},
      {"sub_character_line_at_end", kRecord + "\n" + kEof + "\n\x1A", kRecordBytes, 0x0013},
      {"sub_character_line_with_lf", kRecord + "\n\x1A\n", kRecordBytes, 0x0013},
      {"short_line_checksum_read_as_data",
       ":04001000010203F5\n",
       {{0x0010, {0x01, 0x02, 0x03, 0xF5}}},
       0x0013},
      {"short_line_lone_digit", ":04001000010203A\n", {{0x0010, {0x01, 0x02, 0x03, 0x0A}}}, 0x0013},
      {"short_line_missing_pairs_store_00", ":0400100001\n", {{0x0010, {0x01}}}, 0x0013},
      {"missing_pairs_overwrite_earlier_bytes",
       kRecord + "\n:0400100001\n",
       {{0x0010, {0x01}}},
       0x0013},
      {"overlap_later_line_wins",
       kRecord + "\n:02001100AABB88\n",
       {{0x0010, {0x01, 0xAA, 0xBB, 0x04}}},
       0x0013},
      {"blank_lines", "\n\n" + kRecord + "\n\n\r\n" + kEof + "\n\n", kRecordBytes, 0x0013},
      {"line_of_other_text", "Assembled by hand; no warnings\n" + kRecord + "\n", kRecordBytes,
       0x0013},
      {"other_text_that_reads_as_a_record",
       "#0100200055 is not a comment\n",
       {{0x0020, {0x55}}},
       0x0020},
      {"leading_blank", " " + kRecord + "\n", {}, 0x0000},
      {"descending_records",
       ":02020000AABB97\n:02010000CCDD54\n:0100000012ED\n",
       {{0x0000, {0x12}}, {0x0100, {0xCC, 0xDD}}, {0x0200, {0xAA, 0xBB}}},
       0x0201},
      {"byte_count_00", ":00001000F0\n", {}, 0x0000},
      {"byte_count_00_leaves_program_end",
       ":0100050011E9\n:00FFF00011\n",
       {{0x0005, {0x11}}},
       0x0005},
      {"empty_file", "", {}, 0x0000},
      {"no_data_records", kEof + "\n", {}, 0x0000},
      {"g_in_a_pair", ":03001000AAGBCC00\n", {{0x0010, {0xAA, 0x00, 0xCC}}}, 0x0012},
      {"line_longer_than_the_buffer",
       kRecord + std::string(3000, '7') + "\n:02002000AABB79\n",
       {{0x0010, {0x01, 0x02, 0x03, 0x04}}, {0x0020, {0xAA, 0xBB}}},
       0x0021},
      {"record_ending_at_ffff", ":02FFFE00AABB9C\n", {{0xFFFE, {0xAA, 0xBB}}}, 0xFFFF},
      // Extended address records.
      {"type_02_of_0_changes_nothing", ":020000020000FC\n" + kRecord + "\n", kRecordBytes, 0x0013},
      {"type_04_of_0_changes_nothing", ":020000040000FA\n" + kRecord + "\n", kRecordBytes, 0x0013},
      {"type_02_base_within_64k",
       ":020000020800F4\n" + kRecord + "\n",
       {{0x8010, {0x01, 0x02, 0x03, 0x04}}},
       0x8013},
      {"type_02_base_up_to_ffff", ":020000020FFFEE\n:01000F00AB45\n", {{0xFFFF, {0xAB}}}, 0xFFFF},
      {"type_04_base_set_back_to_0", ":020000040001F9\n:020000040000FA\n" + kRecord + "\n",
       kRecordBytes, 0x0013},
      {"type_02_replaces_type_04",
       ":020000040001F9\n:020000020800F4\n" + kRecord + "\n",
       {{0x8010, {0x01, 0x02, 0x03, 0x04}}},
       0x8013},
      {"type_04_high_without_data_after_it", kRecord + "\n:020000040001F9\n" + kEof + "\n",
       kRecordBytes, 0x0013},
      {"types_01_03_05_ignored",
       ":0400000300001234B3\n:0400000500001234B1\n:0400000100001234B5\n" + kRecord + "\n",
       kRecordBytes, 0x0013},
  };
  for (auto more : {LongRecordCases(), BlockBoundaryCases()}) {
    cases.insert(cases.end(), more.begin(), more.end());
  }
  return cases;
}

void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }

class HexReaderLoads : public ::testing::TestWithParam<ReadCase> {};

TEST_P(HexReaderLoads, StoresTheBytesAndProgramEnd) {
  const ReadCase& c = GetParam();
  TempDir dir;
  const std::string path = dir / "prog.hex";
  WriteFile(path, c.text);
  auto state = NewState();
  state->ProgramEnd = 0x4321;  // left over: the reader starts from 0
  CapturedConsole console;

  EXPECT_TRUE(ReadHexFile(*state, console, path.c_str()));
  EXPECT_EQ(console.Text(), "");
  EXPECT_EQ(state->ProgramEnd, c.program_end);
  Bytes expected(kAddressSpaceSize, 0);
  for (const Stored& s : c.stored) {
    std::copy(s.bytes.begin(), s.bytes.end(), expected.begin() + s.address);
  }
  const Bytes image(state->Image.begin(), state->Image.end());
  EXPECT_EQ(Difference(image, expected), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, HexReaderLoads, ::testing::ValuesIn(ReadCases()),
                         [](const auto& p) { return p.param.name; });

struct RefuseCase {
  std::string name;
  std::string text;
};

void PrintTo(const RefuseCase& c, std::ostream* out) { *out << c.name; }

class HexReaderRefuses : public ::testing::TestWithParam<RefuseCase> {};

TEST_P(HexReaderRefuses, DataAboveFfffh) {
  TempDir dir;
  const std::string path = dir / "prog.hex";
  WriteFile(path, GetParam().text);
  auto state = NewState();
  CapturedConsole console;

  EXPECT_FALSE(ReadHexFile(*state, console, path.c_str()));
  EXPECT_EQ(console.Text(),
            "ERROR - INTEL HEX input file " + path + " has data above address FFFFh !\n");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexReaderRefuses,
    ::testing::ValuesIn(std::vector<RefuseCase>{
        {"type_04_of_1", ":020000040001F9\n" + kRecord + "\n"},
        {"type_04_of_1_with_crlf", kRecord + "\r\n:020000040001F9\r\n" + kRecord + "\r\n"},
        {"type_02_base_of_10000h", ":020000021000EC\n:0100000012ED\n"},
        {"type_02_base_record_runs_past_ffff", ":020000020FFFEE\n:02000F00AABB78\n"},
        {"record_runs_past_ffff", ":02FFFF00AABB9B\n"},
        {"long_record_runs_past_ffff", RecordLine(0, 0xFF10, Varied(255))},
        {"refused_after_valid_data", kRecord + "\n" + ":02FFFF00AABB9B\n" + kEof + "\n"},
    }),
    [](const auto& p) { return p.param.name; });

TEST(HexReader, MissingFileOrDirectoryCannotBeOpened) {
  TempDir dir;
  WriteFile(dir / "not_a_dir", std::string(kRecord));
  for (const std::string& path :
       {dir / "missing.hex", dir.path(), dir / "no/such/dir/prog.hex", dir / "not_a_dir/x.hex"}) {
    SCOPED_TRACE(path);
    auto state = NewState();
    state->ProgramEnd = 0x1234;
    CapturedConsole console;
    EXPECT_FALSE(ReadHexFile(*state, console, path.c_str()));
    EXPECT_EQ(console.Text(), "ERROR - INTEL HEX input file " + path + " cannot be opened !\n");
    EXPECT_EQ(state->ProgramEnd, 0);
  }
}

// A whole run over a file with data above FFFFh stops at the reader: nothing
// is written, not even the file of an option, and the input stays as it was.
TEST(HexReader, RefusedFileEndsTheRunWithNothingWritten) {
  TempDir dir;
  const std::string text = RecordLine(0, 0x0000, {0x12, 0x80, 0x00}) + "\n" +
                           RecordLine(0, 0x0023, {0x02, 0x80, 0x03}) + "\n:020000040001F9\n" +
                           kRecord + "\n" + kEof + "\n";
  WriteFile(dir / "prog.hex", text);
  WriteFile(dir / "tarlek.bin", Bytes{0x01, 0x00, 0x00, 0x22});
  for (std::vector<std::string> args :
       {std::vector<std::string>{"prog.hex"}, {"prog.hex", "/ob"}, {"prog.hex", "/OH"}}) {
    SCOPED_TRACE(args.size() > 1 ? args[1] : "no option");
    RunResult run = RunTarlekProcess(dir.path(), args);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(
        run.output.find("ERROR - INTEL HEX input file prog.hex has data above address FFFFh !\n"),
        std::string::npos)
        << run.output;
    EXPECT_EQ(run.output.find("Tarlek is now located"), std::string::npos) << run.output;
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(ReadText(dir / "prog.hex"), text);
    EXPECT_FALSE(FileExists(dir / "prog.bin"));
  }
}

}  // namespace
}  // namespace tarlek::testing
