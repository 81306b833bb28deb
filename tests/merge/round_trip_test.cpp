// Generated programs through the readers, the placement and the writers: a
// program given as Intel HEX or as binary merges to the same image, and the
// tool's HEX output reads back as what was written.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "base/address_space.h"
#include "base/hex_text.h"
#include "merge/hex_reader.h"
#include "merge/hex_writer.h"
#include "support/intel_hex.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

struct Segment {
  uint16_t first;
  uint32_t length;
};

struct ProgramCase {
  std::string name;
  std::vector<Segment> segments;  // the first one starts at 0000h and holds both hooks
  uint8_t page;                   // the long call's target page
  uint32_t resident_length;
  std::string line_end;  // of the HEX form
  uint32_t seed;
};

struct Generated {
  Bytes program;        // binary form: 0000h up to the highest address, gaps 00h
  std::string hex;      // the same program as Intel HEX, records of 1..32 bytes, shuffled
  Bytes resident_file;  // tarlek.bin
  Bytes merged;         // the expected merge, 0000h up to the resident's last byte
  uint16_t last;        // highest address of the program
  uint16_t resident_start;
};

Generated Generate(const ProgramCase& c) {
  std::mt19937 random(c.seed);
  auto byte = [&] { return static_cast<uint8_t>(random() & 0xFF); };
  Generated g;
  uint32_t last = 0;
  for (const Segment& s : c.segments) last = std::max(last, s.first + s.length - 1);
  g.last = static_cast<uint16_t>(last);
  g.program.assign(last + 1, 0);
  for (const Segment& s : c.segments) {
    for (uint32_t k = 0; k < s.length; ++k) g.program[s.first + k] = byte();
  }
  LayHooks(g.program, c.page);

  std::vector<std::string> lines;
  for (const Segment& s : c.segments) {
    for (uint32_t a = s.first; a < s.first + s.length;) {
      const uint32_t n = std::min<uint32_t>(1 + random() % 32, s.first + s.length - a);
      lines.push_back(RecordLine(0, static_cast<uint16_t>(a),
                                 Bytes(g.program.begin() + a, g.program.begin() + a + n)));
      a += n;
    }
  }
  std::shuffle(lines.begin(), lines.end(), random);
  for (const std::string& line : lines) g.hex += line + c.line_end;
  g.hex += ":00000001FF" + c.line_end;

  const uint32_t n = c.resident_length;
  Bytes flags(n), code(n);
  for (uint32_t k = 0; k < n; ++k) {
    code[k] = byte();
    flags[k] = random() % 8 == 0 ? 1 : 0;
  }
  g.resident_file = ResidentFile(flags, code);

  g.resident_start = static_cast<uint16_t>(c.page << 8);
  g.merged = g.program;
  g.merged.resize(g.resident_start + n, 0);
  for (uint32_t k = 0; k < n; ++k) {
    g.merged[g.resident_start + k] = static_cast<uint8_t>(code[k] + (flags[k] ? c.page : 0));
  }
  return g;
}

const std::vector<ProgramCase> kPrograms = {
    {"small", {{0x0000, 0x30}}, 0x01, 6, "\n", 1},
    // As binary its end (0100h) is the resident's start, as HEX one below.
    {"exactly_256_bytes", {{0x0000, 0x100}}, 0x01, 0x40, "\r\n", 2},
    {"gaps", {{0x0000, 0x26}, {0x0100, 0x80}, {0x1234, 0xCD}}, 0x20, 300, "\n", 3},
    {"large_with_gaps", {{0x0000, 0x3000}, {0x4000, 0x3F00}}, 0x80, 1000, "\r", 4},
    {"resident_up_to_fffc", {{0x0000, 0x100}, {0xE000, 0x1000}}, 0xF0, 0xFFD, "\n", 5},
    {"empty_resident", {{0x0000, 0x40}}, 0x02, 0, "\n", 6},
};

std::string ClosingLines(uint8_t page) {
  return "Tarlek is now located at " + std::string(HexByte(page)) +
         "00h\n\nTarlek loading O.K. - thank You for using it.\n";
}

void ExpectRun(const RunResult& run, uint8_t page) {
  EXPECT_EQ(run.exit_status, 0) << run.output;
  EXPECT_NE(run.output.find(ClosingLines(page)), std::string::npos) << run.output;
  EXPECT_EQ(run.errors, "");
}

Bytes Padded(Bytes bytes) {
  bytes.resize(kAddressSpaceSize, 0);
  return bytes;
}

void PrintTo(const ProgramCase& c, std::ostream* out) { *out << c.name; }

class RoundTrip : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(RoundTrip, HexInToBinAndBinInToHexGiveTheSameImage) {
  const ProgramCase& c = GetParam();
  const Generated g = Generate(c);
  TempDir dir;
  WriteFile(dir / "tarlek.bin", g.resident_file);
  WriteFile(dir / "a.hex", g.hex);
  WriteFile(dir / "b.bin", g.program);

  ExpectRun(RunTarlekProcess(dir.path(), {"a.hex", "/ob"}), c.page);
  ExpectRun(RunTarlekProcess(dir.path(), {"b.bin", "/oh"}), c.page);

  const Bytes from_hex = ReadFile(dir / "a.bin");
  EXPECT_EQ(Difference(from_hex, g.merged), "");
  auto state = NewState();
  CapturedConsole console;
  ASSERT_TRUE(ReadHexFile(*state, console, (dir / "b.hex").c_str()));
  const Bytes from_bin(state->Image.begin(), state->Image.end());
  EXPECT_EQ(Difference(from_bin, Padded(from_hex)), "");
}

INSTANTIATE_TEST_SUITE_P(Programs, RoundTrip, ::testing::ValuesIn(kPrograms),
                         [](const auto& p) { return p.param.name; });

struct WriteCase {
  std::string name;
  uint16_t program_end;
  uint16_t resident_start;
  uint32_t resident_length;
};

void PrintTo(const WriteCase& c, std::ostream* out) { *out << c.name; }

class HexReadBack : public ::testing::TestWithParam<WriteCase> {};

TEST_P(HexReadBack, WrittenHexReadsBackAsTheSameBytes) {
  const WriteCase& c = GetParam();
  auto written = NewState();
  std::mt19937 random(7);
  for (auto& b : written->Image) b = static_cast<uint8_t>(random() & 0xFF);
  written->ProgramEnd = c.program_end;
  written->ResidentStart = c.resident_start;
  written->ResidentEnd = static_cast<uint16_t>(c.resident_start + c.resident_length - 1);
  TempDir dir;
  const std::string path = dir / "out.hex";
  CapturedConsole console;
  ASSERT_TRUE(WriteHexFile(*written, console, path.c_str()));

  auto read = NewState();
  ASSERT_TRUE(ReadHexFile(*read, console, path.c_str()));
  EXPECT_EQ(console.Text(), "");
  const uint32_t resident_end = c.resident_start + c.resident_length - 1;
  const std::vector<bool> covered =
      Covering({{0, c.program_end}, {c.resident_start, resident_end}});
  Bytes expected(kAddressSpaceSize, 0);
  for (uint32_t a = 0; a < kAddressSpaceSize; ++a) {
    if (covered[a]) expected[a] = written->Image[a];
  }
  EXPECT_EQ(Difference(Bytes(read->Image.begin(), read->Image.end()), expected), "");
  EXPECT_EQ(read->ProgramEnd, c.resident_length > 0 ? resident_end : c.program_end);
}

INSTANTIATE_TEST_SUITE_P(Cases, HexReadBack,
                         ::testing::ValuesIn(std::vector<WriteCase>{
                             {"program_end_0", 0x0000, 0x0100, 1},
                             {"short_ranges", 0x0025, 0x0100, 4},
                             {"resident_start_equals_program_end", 0x0100, 0x0100, 0x11},
                             {"half_the_memory", 0x7FFF, 0x8000, 0x4000},
                             {"resident_up_to_fffc", 0xEFFF, 0xF000, 0xFFD},
                             {"empty_resident", 0x0040, 0x0200, 0},
                         }),
                         [](const auto& p) { return p.param.name; });

// Every input kind with every option, through the real executable: the output
// goes to the right file, holds the merge, and any other input stays as it was.
TEST(RoundTripRuns, EveryInputKindAndOption) {
  struct Kind {
    const char* extension;
    bool hex;
  };
  for (const ProgramCase& c : {kPrograms[1], kPrograms[2]}) {
    const Generated g = Generate(c);
    for (Kind input : {Kind{".hex", true}, Kind{".bin", false}}) {
      for (const char* option : {"", "/ob", "/oh"}) {
        SCOPED_TRACE(c.name + " prog" + input.extension + " " + option);
        TempDir dir;
        WriteFile(dir / "tarlek.bin", g.resident_file);
        const std::string input_name = std::string("prog") + input.extension;
        if (input.hex) {
          WriteFile(dir / input_name, g.hex);
        } else {
          WriteFile(dir / input_name, g.program);
        }
        const Bytes input_before = ReadFile(dir / input_name);
        std::vector<std::string> args = {input_name};
        if (*option != '\0') args.push_back(option);
        ExpectRun(RunTarlekProcess(dir.path(), args), c.page);

        const bool hex_out = std::string(option) == "/oh" || (*option == '\0' && input.hex);
        const std::string output_name = hex_out ? "prog.hex" : "prog.bin";
        if (output_name != input_name) {
          EXPECT_EQ(ReadFile(dir / input_name), input_before);
        }
        if (!hex_out) {
          EXPECT_EQ(Difference(ReadFile(dir / output_name), g.merged), "");
          continue;
        }
        // From a binary input the first range takes one byte past the program.
        const uint32_t program_end = input.hex ? g.last : g.last + 1u;
        const uint32_t resident_end = g.resident_start + c.resident_length - 1;
        const LoadedHex loaded = LoadRecords(ParseWrittenHex(ReadText(dir / output_name)));
        EXPECT_EQ(Difference(loaded.covered,
                             Covering({{0, program_end}, {g.resident_start, resident_end}})),
                  "");
        EXPECT_EQ(Difference(loaded.image, Padded(g.merged)), "");
      }
    }
  }
}

}  // namespace
}  // namespace tarlek::testing
