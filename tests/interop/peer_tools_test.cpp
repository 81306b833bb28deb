// Interoperation with the HEX tools 8051 developers already use: srec_cat
// (srecord), objcopy (binutils), python-intelhex, as31 and SDCC's sdas8051 +
// sdld. Our HEX output must pass their strict checksum checks and give the
// same image as our BIN output; their HEX files must load into the image their
// source describes. Programs are generated from seeds: TARLEK_INTEROP_SEEDS
// raises the number of seeds per test (3 by default).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "support/intel_hex.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

constexpr const char* kPython = "/usr/bin/python3";  // Debian's, which has intelhex
constexpr const char* kIntelHexScripts = "/usr/share/python3-intelhex";

// Runs a shell command in dir with no standard input; its output goes to a
// log file in dir, which the returned text holds when the command fails.
struct ShellResult {
  int status = -1;
  std::string log;
};

ShellResult Shell(const std::string& dir, const std::string& command) {
  const std::string log = dir + "/shell.log";
  const std::string line = "cd '" + dir + "' && (" + command + ") </dev/null >'" + log + "' 2>&1";
  const int raw = std::system(line.c_str());
  ShellResult result;
  result.status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.log = ReadText(log);
  return result;
}

bool HaveTool(const std::string& command) {
  return std::system(("command -v " + command + " >/dev/null 2>&1").c_str()) == 0;
}

// The peers are installed by scripts/setup.sh; a missing one is a failure,
// never a silent pass.
void RequireTools() {
  for (const char* tool : {"srec_cat", "objcopy", "as31", "sdas8051", "sdld", kPython}) {
    ASSERT_TRUE(HaveTool(tool)) << tool << " is missing: run scripts/setup.sh";
  }
  ASSERT_TRUE(FileExists(std::string(kIntelHexScripts) + "/hex2bin.py"))
      << "python3-intelhex is missing: run scripts/setup.sh";
}

int SeedCount() {
  const char* text = std::getenv("TARLEK_INTEROP_SEEDS");
  const int count = text != nullptr ? std::atoi(text) : 0;
  return count > 0 ? count : 3;
}

// A generated program: the two hooks, a few data blocks with gaps between
// them, and a resident of random bytes and flags placed on the first free page.
struct Segment {
  uint32_t start;
  Bytes data;
};

struct Program {
  std::vector<Segment> segments;  // in ascending address order, no overlaps
  Bytes image;                    // the program's bytes, 0000h to its last byte
  Bytes resident_file;            // tarlek.bin
  Bytes merged;                   // the expected output image, 0000h..ResidentEnd
};

Program Generate(uint32_t seed, uint32_t max_block = 2000) {
  std::mt19937 random(seed);
  auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  Program p;

  // The hooks' block first: LCALL page:00 at 0000h, LJMP at 0023h.
  Segment hooks{0, Bytes(0x26 + below(40))};
  for (auto& b : hooks.data) b = static_cast<uint8_t>(random());
  p.segments.push_back(hooks);
  uint32_t next = static_cast<uint32_t>(hooks.data.size());
  const int blocks = 1 + static_cast<int>(below(6));
  for (int i = 0; i < blocks && next < 0xA000; ++i) {
    const uint32_t gap = below(3) == 0 ? 0 : 1 + below(3000);
    Segment s{next + gap, Bytes(1 + below(max_block))};
    for (auto& b : s.data) b = static_cast<uint8_t>(random());
    next = s.start + static_cast<uint32_t>(s.data.size());
    p.segments.push_back(s);
  }
  p.image.assign(next, 0);
  for (const auto& s : p.segments) std::copy(s.data.begin(), s.data.end(), &p.image[s.start]);

  // The first page at or above the program's last byte, or one more.
  const uint32_t page = ((next - 1) >> 8) + 1 + below(2);
  const uint32_t length = 1 + below(300);
  LayHooks(p.image, static_cast<uint8_t>(page));
  // Keep the segments in step with the hooks written into the image.
  std::copy(p.image.begin(), p.image.begin() + static_cast<long>(p.segments[0].data.size()),
            p.segments[0].data.begin());

  Bytes flags(length), code(length);
  for (uint32_t k = 0; k < length; ++k) {
    flags[k] = below(4) == 0 ? 1 : 0;
    code[k] = static_cast<uint8_t>(random());
  }
  p.resident_file = ResidentFile(flags, code);

  p.merged = p.image;
  p.merged.resize(page * 0x100 + length, 0);
  for (uint32_t k = 0; k < length; ++k)
    p.merged[page * 0x100 + k] = static_cast<uint8_t>(code[k] + (flags[k] ? page : 0));
  return p;
}

std::string Hex4(uint32_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

// --- Our HEX output, checked by the peers ------------------------------------

struct PeerReader {
  const char* name;
  std::string command;  // reads A.hex, writes A.bin
};

std::vector<PeerReader> PeerReaders() {
  return {
      {"srec_cat",
       "srec_cat A.hex -Intel -fill 0x00 0x0000 -maximum-address A.hex -Intel -o A.bin -Binary"},
      {"objcopy", "objcopy -I ihex -O binary --gap-fill 0x00 A.hex A.bin"},
      {"python-intelhex", std::string(kPython) + " " + kIntelHexScripts +
                              "/hex2bin.py --pad=00 --range=0000: A.hex A.bin"},
  };
}

TEST(PeerToolsTest, OurHexIsAcceptedByThePeersAndGivesOurBinImage) {
  RequireTools();
  for (int seed = 1; seed <= SeedCount(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Program p = Generate(static_cast<uint32_t>(seed));
    TempDir dir;
    WriteFile(dir / "tarlek.bin", p.resident_file);
    // The same program through both writers: HEX beside the input, BIN in place.
    WriteFile(dir / "prog.bin", p.image);
    WriteFile(dir / "ours.bin", p.image);
    ASSERT_EQ(RunTarlekProcess(dir.path(), {"prog.bin", "/oh"}).exit_status, 0);
    ASSERT_EQ(RunTarlekProcess(dir.path(), {"ours.bin"}).exit_status, 0);
    const Bytes ours = ReadFile(dir / "ours.bin");
    ASSERT_EQ(Difference(ours, p.merged), "");

    for (const auto& peer : PeerReaders()) {
      SCOPED_TRACE(peer.name);
      Shell(dir.path(), "cp prog.hex A.hex && rm -f A.bin");
      const ShellResult run = Shell(dir.path(), peer.command);
      ASSERT_EQ(run.status, 0) << run.log;
      EXPECT_EQ(Difference(ReadFile(dir / "A.bin"), ours), "");
    }
  }
}

// The control that makes the test above mean something: each peer, as run
// there, refuses a file with one wrong checksum.
TEST(PeerToolsTest, PeersRefuseOneWrongChecksum) {
  RequireTools();
  TempDir dir;
  WriteFile(dir / "A.hex",
            ":1000000012010000000000000000000000000000DD\n"
            ":1000100000000000000000000000000000000000E1\n"
            ":00000001FF\n");
  for (const auto& peer : PeerReaders()) {
    SCOPED_TRACE(peer.name);
    EXPECT_NE(Shell(dir.path(), peer.command).status, 0);
  }
}

// --- Peers' HEX files, loaded by our reader ----------------------------------

// Line-level variants of a peer's file.
std::string WithoutZeroExtendedRecords(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string line = text.substr(start, end - start);
    if (line.rfind(":020000040000FA", 0) != 0 && line.rfind(":020000020000FC", 0) != 0) out += line;
    start = end;
  }
  return out;
}

std::string WithZeroExtendedRecords(const std::string& text) {
  return ":020000040000FA\n:020000020000FC\n" + WithoutZeroExtendedRecords(text);
}

std::string WithCrLf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// Every block of the program as raw binary files seg0.bin, seg1.bin, ...
std::string WriteSegments(const TempDir& dir, const Program& p) {
  std::string srec_inputs;
  for (size_t i = 0; i < p.segments.size(); ++i) {
    const std::string name = "seg" + std::to_string(i) + ".bin";
    WriteFile(dir / name, p.segments[i].data);
    srec_inputs += name + " -Binary -offset 0x" + Hex4(p.segments[i].start) + " ";
  }
  return srec_inputs;
}

// The program as as31 source, and as sdas8051 source for SDCC's linker.
std::string AssemblerSource(const Program& p, bool sdas) {
  std::string text = sdas ? "\t.area CSEG (ABS,CODE)\n" : "";
  for (const auto& s : p.segments) {
    text += sdas ? "\t.org 0x" + Hex4(s.start) + "\n" : "\t.org 0" + Hex4(s.start) + "h\n";
    for (size_t i = 0; i < s.data.size(); ++i) {
      text += i % 12 == 0 ? "\t.db " : ", ";
      char byte[8];
      std::snprintf(byte, sizeof byte, sdas ? "0x%02X" : "0%02Xh", s.data[i]);
      text += byte;
      if (i % 12 == 11 || i + 1 == s.data.size()) text += "\n";
    }
  }
  if (!sdas) text += "\t.end\n";
  return text;
}

struct PeerWriter {
  std::string name;
  std::string command;  // writes peer.hex from the files in the directory
};

std::vector<PeerWriter> PeerWriters(const std::string& srec_inputs) {
  std::vector<PeerWriter> writers;
  for (int length : {16, 32, 122, 123, 124, 200, 255}) {
    writers.push_back({"srec_cat, " + std::to_string(length) + " bytes a record",
                       "srec_cat " + srec_inputs +
                           "-o peer.hex -Intel -Output_Block_Size=" + std::to_string(length)});
  }
  writers.push_back(
      {"objcopy", "srec_cat " + srec_inputs +
                      "-o src.hex -Intel && objcopy -I ihex -O ihex src.hex peer.hex"});
  writers.push_back({"as31", "as31 -Fhex -Opeer.hex prog.a51"});
  writers.push_back({"sdas8051 + sdld",
                     "sdas8051 -o prog.rel prog.asm && sdld -i peer prog.rel && "
                     "mv peer.ihx peer.hex"});
  return writers;
}

TEST(PeerToolsTest, PeerHexFilesLoadIntoTheImageTheyDescribe) {
  RequireTools();
  for (int seed = 1; seed <= SeedCount(); ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const Program p = Generate(100 + static_cast<uint32_t>(seed));
    TempDir dir;
    WriteFile(dir / "tarlek.bin", p.resident_file);
    WriteFile(dir / "prog.a51", AssemblerSource(p, false));
    WriteFile(dir / "prog.asm", AssemblerSource(p, true));
    for (const auto& peer : PeerWriters(WriteSegments(dir, p))) {
      SCOPED_TRACE(peer.name);
      Shell(dir.path(), "rm -f peer.hex");
      const ShellResult made = Shell(dir.path(), peer.command);
      ASSERT_EQ(made.status, 0) << made.log;
      const std::string text = ReadText(dir / "peer.hex");
      ASSERT_FALSE(text.empty());

      const struct {
        const char* name;
        std::string text;
      } variants[] = {
          {"as written", text},
          {"CR LF", WithCrLf(text)},
          {"zero extended address records", WithZeroExtendedRecords(text)},
          {"zero extended address records, CR LF", WithCrLf(WithZeroExtendedRecords(text))},
          {"no extended address records", WithoutZeroExtendedRecords(text)},
      };
      for (const auto& variant : variants) {
        SCOPED_TRACE(variant.name);
        WriteFile(dir / "in.hex", variant.text);
        const RunResult run = RunTarlekProcess(dir.path(), {"in.hex", "/ob"});
        ASSERT_EQ(run.exit_status, 0) << run.output;
        EXPECT_EQ(Difference(ReadFile(dir / "in.bin"), p.merged), "");
      }
    }
  }
}

}  // namespace
}  // namespace tarlek::testing
