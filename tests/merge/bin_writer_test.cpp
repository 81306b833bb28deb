// Writing the merged image as a raw binary: Image from 0000h through the
// resident's last byte, one file byte per address, never padded to 64 KB.
#include "merge/bin_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "base/address_space.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

// A merged image: a program at 0000h..program_end-1 (bytes that are never
// 00h), the resident at start..start+n-1, and a marker byte right after the
// resident that must never reach the file.
std::unique_ptr<ProgramState> MergedState(uint16_t program_end, uint16_t start, uint32_t n) {
  auto state = NewState();
  for (uint32_t a = 0; a < program_end; ++a) state->Image[a] = static_cast<uint8_t>(a % 250 + 1);
  LayHooks(state->Image, static_cast<uint8_t>(start >> 8));
  for (uint32_t k = 0; k < n; ++k) state->Image[start + k] = static_cast<uint8_t>(0xC0 ^ k);
  if (start + n <= 0xFFFF) state->Image[start + n] = 0xEE;
  state->ProgramEnd = program_end;
  state->ResidentStart = start;
  state->ResidentPage = static_cast<uint8_t>(start >> 8);
  state->ResidentLength = static_cast<uint16_t>(n);
  state->ResidentEnd = static_cast<uint16_t>(start + n - 1);
  return state;
}

Bytes ImagePrefix(const ProgramState& state, size_t size) {
  return Bytes(state.Image.begin(), state.Image.begin() + static_cast<std::ptrdiff_t>(size));
}

struct SizeCase {
  const char* name;
  uint16_t program_end;
  uint16_t start;
  uint32_t n;
  size_t file_size;
};

TEST(WriteBinFile, WritesImageFrom0000hThroughResidentEnd) {
  const SizeCase cases[] = {
      // Program 0000h..01FFh, 00h up to 7FFFh, a resident of 100h bytes at 8000h.
      {"Resident100hAt8000h", 0x0200, 0x8000, 0x100, 0x8100},
      // An empty resident: everything below its start address, nothing more.
      {"EmptyResidentAt8000h", 0x0200, 0x8000, 0, 0x8000},
      {"OneByteResidentRightAfterProgram", 0x0100, 0x0100, 1, 0x0101},
      // The highest resident ends at FFFCh: 65,533 bytes.
      {"ResidentEndingAtFFFCh", 0x0200, 0xFF00, 253, 0xFFFD},
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    auto state = MergedState(c.program_end, c.start, c.n);
    const std::string path = dir / "prog.bin";
    CapturedConsole console;

    ASSERT_TRUE(WriteBinFile(*state, console, path.c_str()));
    EXPECT_EQ(console.Text(), "");
    const Bytes written = ReadFile(path);
    ASSERT_EQ(written.size(), c.file_size);
    EXPECT_TRUE(written == ImagePrefix(*state, c.file_size));
    // The gap between program and resident is 00h; the file ends on the
    // resident's last byte, never on the byte after it.
    if (c.start > c.program_end) {
      EXPECT_EQ(written[c.start - 1], 0x00);
    }
    if (c.n > 0) {
      EXPECT_EQ(written.back(), static_cast<uint8_t>(0xC0 ^ (c.n - 1)));
    }
  }
}

TEST(WriteBinFile, ReplacesALongerFileAndWritesTheSameBytesTwice) {
  TempDir dir;
  const std::string path = dir / "prog.bin";
  WriteFile(path, Bytes(kAddressSpaceSize, 0xFF));  // e.g. the input it replaces
  auto state = MergedState(0x0200, 0x8000, 5);
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    CapturedConsole console;
    ASSERT_TRUE(WriteBinFile(*state, console, path.c_str()));
    EXPECT_EQ(console.Text(), "");
    EXPECT_TRUE(ReadFile(path) == ImagePrefix(*state, 0x8005));
  }
}

TEST(WriteBinFile, NewFileGetsReadWriteLessTheUmask) {
  TempDir dir;
  const std::string path = dir / "new.bin";
  auto state = MergedState(0x0100, 0x0100, 1);
  const mode_t old_mask = ::umask(027);
  CapturedConsole console;
  const bool ok = WriteBinFile(*state, console, path.c_str());
  ::umask(old_mask);
  ASSERT_TRUE(ok);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

}  // namespace
}  // namespace tarlek::testing
