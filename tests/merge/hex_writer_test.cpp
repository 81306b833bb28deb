#include "merge/hex_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/address_space.h"
#include "support/intel_hex.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

struct LineCase {
  std::string name;
  uint16_t address;
  Bytes data;
  std::string line;
};

void PrintTo(const LineCase& c, std::ostream* out) { *out << c.name; }

class HexRecordLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(HexRecordLine, IsFormattedWithItsChecksum) {
  const LineCase& c = GetParam();
  HexRecord record;
  // A record that held other bytes before is emptied by starting it again.
  StartHexRecord(record, 0x5555);
  for (int k = 0; k < 16; ++k) record.bytes[record.fill++] = 0xEE;
  StartHexRecord(record, c.address);
  for (uint8_t b : c.data) record.bytes[record.fill++] = b;
  char line[kHexRecordLineMax];
  const size_t length = FormatHexRecord(record, line);
  EXPECT_EQ(std::string(line, length), c.line);
}

INSTANTIATE_TEST_SUITE_P(Cases, HexRecordLine,
                         ::testing::ValuesIn(std::vector<LineCase>{
                             {"three_bytes", 0x0100, {0x02, 0x00, 0x30}, ":03010000020030CA\n"},
                             {"one_byte", 0x0000, {0x12}, ":0100000012ED\n"},
                             {"sum_of_256_gives_checksum_00", 0x0000, {0xFF}, ":01000000FF00\n"},
                             {"full_record_at_the_top",
                              0xFFF0,
                              {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A,
                               0x0B, 0x0C, 0x0D, 0x0E, 0x0F},
                              ":10FFF000000102030405060708090A0B0C0D0E0F89\n"},
                             {"full_record_of_ff", 0xFFF0, Bytes(16, 0xFF),
                              ":10FFF000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF11\n"},
                             {"seven_bytes", 0x1230, Bytes(7, 0x80), ":071230008080808080808037\n"},
                         }),
                         [](const auto& p) { return p.param.name; });

TEST(HexWriter, WorkedFileComesOutByteForByte) {
  TempDir dir;
  const std::string path = dir / "prog.hex";
  WriteFile(path, std::string(5000, 'x'));  // an older, longer file is replaced whole
  auto state = NewState();
  const uint8_t program[] = {0x12, 0x01, 0x00};
  const uint8_t vector[] = {0x02, 0x01, 0x03};
  const uint8_t resident[] = {0x75, 0x98, 0x50, 0x22};
  std::copy(std::begin(program), std::end(program), &state->Image[0x0000]);
  std::copy(std::begin(vector), std::end(vector), &state->Image[0x0023]);
  std::copy(std::begin(resident), std::end(resident), &state->Image[0x0100]);
  state->ProgramEnd = 0x0025;
  state->ResidentStart = 0x0100;
  state->ResidentEnd = 0x0103;
  CapturedConsole console;

  EXPECT_TRUE(WriteHexFile(*state, console, path.c_str()));
  EXPECT_EQ(console.Text(), "");
  EXPECT_EQ(ReadText(path),
            ":1000000012010000000000000000000000000000DD\n"
            ":1000100000000000000000000000000000000000E0\n"
            ":06002000000000020103D4\n"
            ":04010000759850227C\n"
            ":00000001FF\n");
}

// Where the records of a file start and how many bytes each holds.
struct Layout {
  uint16_t address;
  size_t count;
  bool operator==(const Layout&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Layout& l) {
  return out << std::hex << l.address << "h:" << std::dec << l.count;
}

// n full records from first on.
std::vector<Layout> Full(uint16_t first, int n) {
  std::vector<Layout> records;
  for (int i = 0; i < n; ++i) records.push_back({static_cast<uint16_t>(first + 16 * i), 16});
  return records;
}

std::vector<Layout> Join(std::initializer_list<std::vector<Layout>> parts) {
  std::vector<Layout> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

struct RangeCase {
  std::string name;
  uint16_t program_end;
  uint16_t resident_start;
  uint32_t resident_length;  // ResidentEnd = ResidentStart + length - 1
  std::vector<Layout> records;
};

void PrintTo(const RangeCase& c, std::ostream* out) { *out << c.name; }

class HexWriterRanges : public ::testing::TestWithParam<RangeCase> {};

TEST_P(HexWriterRanges, WritesBothRangesInRecordsOfAtMost16Bytes) {
  const RangeCase& c = GetParam();
  auto state = NewState();
  for (uint32_t a = 0; a < kAddressSpaceSize; ++a)
    state->Image[a] = static_cast<uint8_t>(a * 31 + a / 256);
  state->ProgramEnd = c.program_end;
  state->ResidentStart = c.resident_start;
  state->ResidentEnd = static_cast<uint16_t>(c.resident_start + c.resident_length - 1);
  TempDir dir;
  const std::string path = dir / "out.hex";
  CapturedConsole console;

  ASSERT_TRUE(WriteHexFile(*state, console, path.c_str()));
  const std::string text = ReadText(path);
  EXPECT_EQ(text.size(), HexFileSize(*state));
  const std::vector<WrittenRecord> written = ParseWrittenHex(text);
  std::vector<Layout> layout;
  for (const WrittenRecord& r : written) layout.push_back({r.address, r.data.size()});
  EXPECT_EQ(layout, c.records);

  const LoadedHex loaded = LoadRecords(written);
  const uint32_t resident_end = c.resident_start + c.resident_length - 1;
  const uint32_t program_last = std::min<uint32_t>(c.program_end, c.resident_start - 1u);
  EXPECT_EQ(
      Difference(loaded.covered, Covering({{0, program_last}, {c.resident_start, resident_end}})),
      "");
  for (uint32_t a = 0; a < kAddressSpaceSize; ++a) {
    if (loaded.covered[a] && loaded.image[a] != state->Image[a]) {
      ADD_FAILURE() << "address " << a << " written as " << int{loaded.image[a]};
      break;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexWriterRanges,
    ::testing::ValuesIn(std::vector<RangeCase>{
        {"lengths_multiple_of_16", 0x002F, 0x0100, 32, Join({Full(0x0000, 3), Full(0x0100, 2)})},
        {"lengths_not_multiple_of_16", 0x0025, 0x0100, 4,
         Join({Full(0x0000, 2), {{0x0020, 6}, {0x0100, 4}}})},
        {"program_end_0", 0x0000, 0x0100, 1, {{0x0000, 1}, {0x0100, 1}}},
        // After a binary input ProgramEnd is one past the program; when that
        // is the resident's first address, it is written once, by the resident.
        {"resident_start_equals_program_end", 0x0100, 0x0100, 17,
         Join({Full(0x0000, 16), Full(0x0100, 1), {{0x0110, 1}}})},
        {"resident_start_equals_program_end_empty_resident", 0x0100, 0x0100, 0, Full(0x0000, 16)},
        {"empty_resident", 0x0025, 0x0100, 0, Join({Full(0x0000, 2), {{0x0020, 6}}})},
        {"resident_right_after_the_program", 0x00FF, 0x0100, 16,
         Join({Full(0x0000, 16), Full(0x0100, 1)})},
        {"resident_up_to_fffc", 0x000F, 0xFF00, 0xFD,
         Join({Full(0x0000, 1), Full(0xFF00, 15), {{0xFFF0, 13}}})},
        {"range_up_to_ffff_stops_there", 0x000F, 0xFF00, 0x100,
         Join({Full(0x0000, 1), Full(0xFF00, 16)})},
    }),
    [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace tarlek::testing
