// SDCC's .cdb: every type and memory space of a program built here with sdcc,
// hand-made records for the corners, names resolved to places, and bits from
// the relocated listing.
#include "mon/symbols/cdb.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "mon/symbols/map_file.h"
#include "mon/symbols/sdcc_program.h"
#include "mon/symbols/symbol_table.h"
#include "mon/symbols/target.h"
#include "support/test_support.h"

namespace tarlek::mon {
namespace {

using testing::BuildWithSdcc;
using testing::HaveSdcc;
using testing::TempDir;

TEST(CdbFromSdcc, EveryTypeAndSpaceOfARealProgram) {
  if (!HaveSdcc()) GTEST_SKIP() << "sdcc is not installed";
  TempDir dir;
  BuildWithSdcc(dir);
  const SymbolTable program = LoadSymbols(dir / "prog.cdb");
  // The linker's own addresses for the relocatable ones, from the map.
  const SymbolTable map = ParseMap(testing::ReadText(dir / "prog.map"), "prog.map");
  auto linked = [&](const char* name) {
    const Variable* v = map.Find(name);
    EXPECT_NE(v, nullptr) << name;
    return v == nullptr ? 0u : v->place.address;
  };
  const struct {
    const char* name;
    Space space;
    uint32_t address;
    const char* type;
    uint32_t size;
  } cases[] = {
      {"counter8", Space::kIram, linked("counter8"), "unsigned char", 1},
      {"counter", Space::kIram, linked("counter"), "int", 2},
      {"along", Space::kIram, linked("along"), "long", 4},
      {"ll", Space::kXram, linked("ll"), "long long", 8},
      {"fl", Space::kXram, linked("fl"), "float", 4},
      {"boolean", Space::kIram, linked("boolean"), "bool", 1},
      {"pd", Space::kXram, linked("pd"), "unsigned char", 1},
      {"table", Space::kCode, linked("table"), "unsigned char[4]", 4},
      {"sensor", Space::kXram, linked("sensor"), "struct sensor_t", 11},
      {"sensor.temp", Space::kXram, linked("sensor"), "int", 2},
      {"sensor.in.b", Space::kXram, linked("sensor") + 4, "int", 2},
      {"sensor.f2", Space::kXram, linked("sensor") + 6, "5 bits", 1},
      {"sensor.scale", Space::kXram, linked("sensor") + 7, "float", 4},
      {"un.b[3]", Space::kXram, linked("un") + 3, "unsigned char", 1},
      {"un.l", Space::kXram, linked("un"), "unsigned long", 4},
      {"log", Space::kXram, linked("log"), "struct log_t[5]", 15},
      {"log[2].what", Space::kXram, linked("log") + 8, "char", 1},
      {"log[0x4].when", Space::kXram, linked("log") + 12, "unsigned int", 2},
      {"dptr", Space::kIram, linked("dptr"), "__data unsigned char *", 1},
      {"iptr", Space::kIram, linked("iptr"), "__idata unsigned char *", 1},
      {"xptr", Space::kIram, linked("xptr"), "__xdata unsigned char *", 2},
      {"cptr", Space::kIram, linked("cptr"), "__code unsigned char *", 2},
      {"gptr", Space::kIram, linked("gptr"), "unsigned char *", 3},
      {"pptr", Space::kIram, linked("pptr"), "__pdata unsigned char *", 1},
      {"fstatic", Space::kIram, 0x16, "unsigned char", 1},
      {"P1", Space::kSfr, 0x90, "unsigned char", 1},
      {"MYIE", Space::kSfr, 0xA8, "unsigned char", 1},
      {"MYP13", Space::kSfr, 0x90, "1 bit", 1},
      {"EA", Space::kSfr, 0xA8, "1 bit", 1},
      {"T0W", Space::kSfr, 0x8A, "unsigned int", 2},
      {"absvar", Space::kIram, 0x30, "unsigned char", 1},
      {"absx", Space::kXram, 0x2000, "unsigned int", 2},
      {"flag", Space::kIram, 0x20, "1 bit", 1},
      {"flag2", Space::kIram, 0x20, "1 bit", 1},
  };
  for (const auto& c : cases) {
    const Target t = ResolveName(program, c.name);
    EXPECT_EQ(t.place.space, c.space) << c.name;
    if (std::string_view(c.name) != "fstatic") {
      EXPECT_EQ(t.place.address, c.address) << c.name;
    }
    EXPECT_EQ(t.type->Name(), c.type) << c.name;
    EXPECT_EQ(t.type->size, c.size) << c.name;
  }
  // The bits: their own bit of their byte.
  EXPECT_EQ(ResolveName(program, "MYP13").type->bit_offset, 3);
  EXPECT_EQ(ResolveName(program, "EA").type->bit_offset, 7);
  EXPECT_EQ(ResolveName(program, "flag2").type->bit_offset,
            ResolveName(program, "flag").type->bit_offset + 1);
  EXPECT_EQ(ResolveName(program, "sensor.f2").type->bit_offset, 3);
  EXPECT_EQ(ResolveName(program, "T0W").place.sfrs, (std::vector<uint8_t>{0x8A, 0x8C}));
  // A file static is found by its name; a function's are not live-watchable.
  EXPECT_NE(program.Find("fstatic"), nullptr);
  for (const char* local : {"st", "i"}) {
    try {
      ResolveName(program, local);
      ADD_FAILURE() << local;
    } catch (const Failure& failure) {
      EXPECT_NE(std::string(failure.what()).find("not live-watchable"), std::string::npos)
          << failure.what();
    }
  }
}

// Hand-made records for what a small program rarely shows.
TEST(CdbRecords, CornersByHand) {
  const std::string cdb =
      "M:m\n"
      "T:Fm$pair[({0}S:S$lo$0_0$0({1}SC:U),Z,0,0)({1}S:S$hi$0_0$0({1}SC:S),Z,0,0)]\n"
      "T:Fm$outer[({0}S:S$p$0_0$0({2}STpair:S),Z,0,0)({2}S:S$q$0_0$0({4}DA2d,STpair:S),Z,0,0)"
      "({6}S:S$bits$0_0$0({2}SB4$9:S),Z,0,0)({8}S:S$g$0_0$0({3}DG,STpair:S),Z,0,0)]\n"
      "S:G$o$0_0$0({11}STouter:S),F,0,0\n"
      "S:G$big$0_0$0({16}DA2d,SI:S),F,0,0\n"
      "S:G$v$0_0$0({1}SC:U),E,0,0\n"
      "S:Lm.f$v$1_0$1({2}SI:S),B,1,-3\n"
      "S:Lm.f$r$1_0$1({2}SI:S),R,0,0,[r6,r7]\n"
      "S:Fm$twice$0_0$0({1}SC:U),E,0,0\n"
      "S:G$ext$0_0$0({2}SI:S),F,0,0\n"
      "M:n\n"
      "S:Fn$twice$0_0$0({1}SC:U),E,0,0\n"
      "L:G$o$0_0$0:100\n"
      "L:G$big$0_0$0:200\n"
      "L:G$v$0_0$0:30\n"
      "L:Fm$twice$0_0$0:31\n"
      "L:Fn$twice$0_0$0:32\n"
      "L:C$m.c$3$1_0$1:12\n"
      "L:XG$f$0$0:40\n";
  const SymbolTable program = ParseCdb(cdb, "p.cdb");
  const struct {
    const char* name;
    uint32_t address;
    const char* type;
  } cases[] = {
      {"o.p.hi", 0x101, "char"},
      {"o.q[1].lo", 0x104, "unsigned char"},
      {"o.bits", 0x106, "signed 9 bits"},
      {"o.g", 0x108, "struct pair *"},
      {"big[1]", 0x208, "long long"},
      {"v", 0x30, "unsigned char"},  // the global, not f's local of that name
  };
  for (const auto& c : cases) {
    const Target t = ResolveName(program, c.name);
    EXPECT_EQ(t.place.address, c.address) << c.name;
    EXPECT_EQ(t.type->Name(), c.type) << c.name;
  }
  EXPECT_EQ(ResolveName(program, "o").type->size, 11u);
  const struct {
    const char* name;
    const char* message;
  } refused[] = {
      {"r", "declared inside f"},
      {"twice", "static of more than one file (m, n)"},
      {"ext", "the linker gave it no address"},
      {"o.x", "has no member x; its members: p, q, bits, g"},
      {"o.q[2]", "past the end"},
      {"v[0]", "not an array"},
      {"v.x", "not a struct"},
      {"o.q[-1]", "an index is a number"},
      {"v:0", "count after the colon"},
      {"3v", "not a name"},
  };
  for (const auto& r : refused) {
    try {
      ResolveName(program, r.name);
      ADD_FAILURE() << r.name;
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.status(), kExitUsage);
      EXPECT_NE(std::string(failure.what()).find(r.message), std::string::npos)
          << r.name << ": " << failure.what();
    }
  }
  // A record SDCC does not write: named with its line.
  try {
    ParseCdb("M:m\nS:G$x$0_0$0({2SI:S),E,0,0\n", "bad.cdb");
    ADD_FAILURE();
  } catch (const Failure& failure) {
    EXPECT_NE(std::string(failure.what()).find("bad.cdb:2:"), std::string::npos) << failure.what();
  }
}

TEST(CdbRecords, BitsFromTheRelocatedListing) {
  const std::string listing =
      "                                     56 \t.area BSEG    (BIT)\n"
      "                           000009    57 G$ready$0_0$0==.\n"
      "      000009                         58 _ready::\n"
      "                                     60 \t.area DSEG    (DATA)\n"
      "                           000010    61 G$other$0_0$0==.\n";
  const auto bits = ListingBits(listing);
  EXPECT_EQ(bits, (std::map<std::string, uint32_t>{{"G$ready$0_0$0", 9}}));
  const SymbolTable program = ParseCdb("M:m\nS:G$ready$0_0$0({1}SB0$1:U),H,0,0\n", "p.cdb", bits);
  const Target ready = ResolveName(program, "ready");
  EXPECT_EQ(ready.place, (Place{Space::kIram, 0x21, {}}));
  EXPECT_EQ(ready.type->bit_offset, 1);
}

}  // namespace
}  // namespace tarlek::mon
