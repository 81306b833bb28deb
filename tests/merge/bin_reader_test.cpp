// Reading a raw binary program: the file's bytes are the code memory from
// 0000h on, at most 65,535 of them, and ProgramEnd is the number of bytes
// loaded (one past the last address).
#include "merge/bin_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <utility>

#include "base/address_space.h"
#include "base/hex_text.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

// Byte i of a test program: never 00h, so that a byte that was not loaded
// shows up against the cleared image.
uint8_t ProgramByte(size_t i) { return static_cast<uint8_t>(i % 251 + 1); }

Bytes ProgramOfSize(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = ProgramByte(i);
  return bytes;
}

struct SizeCase {
  size_t file_size;
  uint16_t program_end;
  size_t loaded;  // bytes that reach Image from 0000h on
};

TEST(ReadBinFile, LoadsAtMost65535BytesFrom0000h) {
  const SizeCase cases[] = {
      {0, 0x0000, 0},            // nothing loaded; the placement reports the hooks
      {1, 0x0001, 1},            //
      {256, 0x0100, 256},        // 0000h..00FFh, ProgramEnd one past the last byte
      {0x8000, 0x8000, 0x8000},  //
      {65535, 0xFFFF, 65535},    // loaded whole: 0000h..FFFEh
      {65536, 0xFFFF, 65535},    // the byte for FFFFh is never taken
      {70000, 0xFFFF, 65535},    //
  };
  for (const SizeCase& c : cases) {
    SCOPED_TRACE("file of " + std::to_string(c.file_size) + " bytes");
    TempDir dir;
    WriteFile(dir / "prog.bin", ProgramOfSize(c.file_size));
    auto state = NewState();
    CapturedConsole console;

    ASSERT_TRUE(ReadBinFile(*state, console, (dir / "prog.bin").c_str()));
    EXPECT_EQ(console.Text(), "");
    EXPECT_EQ(state->ProgramEnd, c.program_end);
    for (size_t a = 0; a < kAddressSpaceSize; ++a) {
      const uint8_t want = a < c.loaded ? ProgramByte(a) : 0x00;
      ASSERT_EQ(state->Image[a], want) << "at address " << std::hex << a;
    }
  }
}

TEST(ReadBinFile, FileThatCannotBeOpenedGivesItsLineWithTheNameAsPassed) {
  TempDir dir;
  std::filesystem::create_directory(dir / "Prog.BIN");
  const std::string missing = dir / "missing.bin";
  const std::string directory = dir / "Prog.BIN";
  const std::string no_dir = dir / "no such dir/x.bin";
  for (const std::string& name : {missing, directory, no_dir}) {
    SCOPED_TRACE(name);
    auto state = NewState();
    state->Image[0x10] = 0x33;
    const auto before = state->Image;
    CapturedConsole console;

    EXPECT_FALSE(ReadBinFile(*state, console, name.c_str()));
    EXPECT_EQ(console.Text(), "ERROR - BIN input file " + name + " cannot be opened !\n");
    EXPECT_TRUE(state->Image == before);
    EXPECT_EQ(state->ProgramEnd, 0);
  }
}

TEST(ReadBinFile, LongNameIsQuotedWhole) {
  // Longer than 255 characters: never cut, so it cannot name another file.
  TempDir dir;
  std::string subdirs = dir.path();
  while (subdirs.size() < 300) subdirs += "/directory";
  std::filesystem::create_directories(subdirs);
  const std::string name = subdirs + "/prog.bin";
  auto state = NewState();
  CapturedConsole console;
  EXPECT_FALSE(ReadBinFile(*state, console, name.c_str()));
  EXPECT_EQ(console.Text(), "ERROR - BIN input file " + name + " cannot be opened !\n");

  WriteFile(name, ProgramOfSize(3));
  CapturedConsole again;
  EXPECT_TRUE(ReadBinFile(*state, again, name.c_str()));
  EXPECT_EQ(state->ProgramEnd, 3);
}

}  // namespace
}  // namespace tarlek::testing
