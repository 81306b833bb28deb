// The resident image builder: two builds of one body, at 0000h and 0100h,
// become flags and code; what a page cannot move is refused by offset.
#include "image_builder.h"

#include <gtest/gtest.h>

#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "base/resident_facts.h"
#include "support/test_support.h"

namespace tarlek {
namespace {

using testing::Bytes;

struct RelocatableCase {
  const char* name;
  Bytes at0000h;
  Bytes at0100h;
  std::vector<size_t> flagged;
};

void PrintTo(const RelocatableCase& c, std::ostream* os) { *os << c.name; }

class ResidentBuilderAccepts : public ::testing::TestWithParam<RelocatableCase> {};

TEST_P(ResidentBuilderAccepts, FlagsExactlyTheAddressHighBytes) {
  const RelocatableCase& c = GetParam();
  const ResidentBuild build = BuildResidentImage(c.at0000h, c.at0100h);
  ASSERT_EQ(build.result, ResidentBuild::Result::kOk);
  EXPECT_TRUE(build.refused_offsets.empty());

  const size_t n = c.at0000h.size();
  Bytes expected = {static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8)};
  Bytes flags(n, 0x00);
  for (size_t k : c.flagged) flags[k] = 0x01;
  expected.insert(expected.end(), flags.begin(), flags.end());
  // The code is the build at 0000h: the loader adds the page to it.
  expected.insert(expected.end(), c.at0000h.begin(), c.at0000h.end());
  EXPECT_EQ(build.file, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, ResidentBuilderAccepts,
    ::testing::Values(
        // NOP; MOV A,#12h; SJMP $: nothing absolute.
        RelocatableCase{
            "NoAddresses", {0x00, 0x74, 0x12, 0x80, 0xFE}, {0x00, 0x74, 0x12, 0x80, 0xFE}, {}},
        // LJMP to itself: only the high address byte moves.
        RelocatableCase{"LongJump", {0x02, 0x00, 0x00}, {0x02, 0x01, 0x00}, {1}},
        // LCALL sub; MOV DPTR,#table; sub: RET; table: DB 80h. The table byte
        // equals no opcode or address and stays; the low bytes stay.
        RelocatableCase{"CallAndTable",
                        {0x12, 0x00, 0x06, 0x90, 0x00, 0x07, 0x22, 0x80},
                        {0x12, 0x01, 0x06, 0x90, 0x01, 0x07, 0x22, 0x80},
                        {1, 4}},
        // MOV A,#(label/256) and MOV A,#(label & 0FFh).
        RelocatableCase{"HighAndLowByteImmediates",
                        {0x74, 0x00, 0x74, 0x04, 0x22},
                        {0x74, 0x01, 0x74, 0x04, 0x22},
                        {1}},
        // LCALL 0030h, an address of the program below the resident: fixed.
        RelocatableCase{"CallOutsideTheResident", {0x12, 0x00, 0x30}, {0x12, 0x00, 0x30}, {}},
        // MOV DPTR,#(start-1): FFFFh becomes 00FFh, one page up modulo 256.
        RelocatableCase{"HighByteWrapsToZero", {0x90, 0xFF, 0xFF}, {0x90, 0x00, 0xFF}, {1}},
        // A resident of nothing: the file is the two length bytes alone.
        RelocatableCase{"Empty", {}, {}, {}}),
    [](const auto& p) { return std::string(p.param.name); });

struct RefusedCase {
  const char* name;
  Bytes at0000h;
  Bytes at0100h;
  std::vector<uint32_t> refused;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class ResidentBuilderRefuses : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(ResidentBuilderRefuses, NamesEveryOffendingOffset) {
  const RefusedCase& c = GetParam();
  const ResidentBuild build = BuildResidentImage(c.at0000h, c.at0100h);
  EXPECT_EQ(build.result, ResidentBuild::Result::kNotRelocatable);
  EXPECT_EQ(build.refused_offsets, c.refused);
  EXPECT_TRUE(build.file.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, ResidentBuilderRefuses,
    ::testing::Values(
        // AJMP 0002h; NOP: the page bits sit in the opcode (01h, 21h).
        RefusedCase{"AbsoluteJump", {0x01, 0x02, 0x00}, {0x21, 0x02, 0x00}, {0}},
        // ACALL 0003h; RET; RET (11h, 31h).
        RefusedCase{"AbsoluteCall", {0x11, 0x03, 0x22, 0x22}, {0x31, 0x03, 0x22, 0x22}, {0}},
        // MOV A,#(label/16) moves by 10h.
        RefusedCase{"LabelOverSixteen", {0x74, 0x00}, {0x74, 0x10}, {1}},
        // A byte lower in the second build is no address that moves up.
        RefusedCase{"MovesDown", {0x74, 0x05}, {0x74, 0x04}, {1}},
        // Several faults among good bytes: each is named, ascending.
        RefusedCase{"SeveralAmongGood",
                    {0x01, 0x00, 0x02, 0x00, 0x00, 0x74, 0x00},
                    {0x21, 0x00, 0x02, 0x01, 0x00, 0x74, 0x02},
                    {0, 6}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ResidentBuilder, RefusesBuildsOfDifferentLength) {
  const Bytes low = {0x02, 0x00, 0x00};
  const Bytes high = {0x02, 0x01, 0x00, 0x00};
  EXPECT_EQ(BuildResidentImage(low, high).result, ResidentBuild::Result::kLengthsDiffer);
}

TEST(ResidentBuilder, TakesTheLongestResidentTheLoaderReadsAndNoMore) {
  Bytes low(kMaxResidentLength, 0x00);
  Bytes high(kMaxResidentLength, 0x00);
  high.back() = 0x01;
  const ResidentBuild longest = BuildResidentImage(low, high);
  ASSERT_EQ(longest.result, ResidentBuild::Result::kOk);
  ASSERT_EQ(longest.file.size(), 30000u);
  EXPECT_EQ(longest.file[0], 0x97);  // 14999 = 3A97h
  EXPECT_EQ(longest.file[1], 0x3A);
  EXPECT_EQ(longest.file[2 + kMaxResidentLength - 1], 0x01);

  low.push_back(0x00);
  high.push_back(0x00);
  EXPECT_EQ(BuildResidentImage(low, high).result, ResidentBuild::Result::kTooLong);
}

// The copy kept in the repository for users without as31 must be what the
// source assembles to; the paths are known only when the build assembled it.
TEST(PrebuiltResident, IsByteIdenticalToAFreshBuild) {
#if defined(TARLEK_BUILT_RESIDENT) && defined(TARLEK_PREBUILT_RESIDENT)
  const Bytes fresh = testing::ReadFile(TARLEK_BUILT_RESIDENT);
  ASSERT_GT(fresh.size(), 2u);
  EXPECT_EQ(testing::ReadFile(TARLEK_PREBUILT_RESIDENT), fresh)
      << "resident/tarlek.bin is stale: copy " << TARLEK_BUILT_RESIDENT << " over it";
#else
  GTEST_SKIP() << "as31 was not found at configure time";
#endif
}

// The shipped resident keeps the entries programs rely on and is the size
// its README states.
TEST(PrebuiltResident, KeepsItsEntriesAndTheCodeSizeTheReadmeStates) {
  const Bytes file = testing::ReadFile(TARLEK_SOURCE_DIR "/resident/tarlek.bin");
  ASSERT_GE(file.size(), 2u);
  const size_t length = size_t{file[0]} | size_t{file[1]} << 8;
  ASSERT_EQ(file.size(), 2 + 2 * length);
  ASSERT_GE(length, 8u);
  const uint8_t* flags = &file[2];
  const uint8_t* code = &file[2 + length];
  // +0, +3 and +6: long jumps inside the resident (their high address
  // byte flagged) to init, the serial interrupt and the character output.
  for (const size_t entry : {size_t{resident::kEntryInit}, size_t{resident::kEntrySerial},
                             size_t{resident::kEntryPutchar}}) {
    EXPECT_EQ(code[entry], resident::kOpcodeLjmp) << "+" << entry;
    EXPECT_EQ(flags[entry + 1], 0x01) << "+" << entry;
    EXPECT_EQ(flags[entry + 2], 0x00) << "+" << entry;
  }

  const std::string readme = testing::ReadText(TARLEK_SOURCE_DIR "/resident/README.md");
  std::smatch stated;
  ASSERT_TRUE(std::regex_search(readme, stated,
                                std::regex("The default image holds ([0-9]+) bytes of code")))
      << "resident/README.md no longer states the code size";
  EXPECT_EQ(std::stoul(stated[1].str()), length);
  // The limit the build holds every image to (ResidentBuild.cmake), which
  // the prebuilt copy must keep too: builds without as31 ship it unchecked.
  ASSERT_TRUE(std::regex_search(readme, stated,
                                std::regex("the build stops on an image of more than ([0-9]+)")))
      << "resident/README.md no longer states the size limit";
  EXPECT_LE(length, std::stoul(stated[1].str()));
  const std::string rules = testing::ReadText(TARLEK_SOURCE_DIR "/resident/ResidentBuild.cmake");
  std::smatch limit;
  ASSERT_TRUE(
      std::regex_search(rules, limit, std::regex("set\\(TARLEK_RESIDENT_MAX_LENGTH ([0-9]+)\\)")));
  EXPECT_EQ(limit[1].str(), stated[1].str()) << "the README and the build name other limits";
}

}  // namespace
}  // namespace tarlek
