// SDCC's .cdb: every type and memory space of a program built here with sdcc,
// hand-made records for the corners, names resolved to places, and bits from
// the relocated listing.
#include "mon/symbols/cdb.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "mon/symbols/load.h"
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

// The message ParseCdb refuses a text with, or "" when it reads it.
std::string Refusal(const std::string& cdb, const std::string& source) {
  try {
    ParseCdb(cdb, source);
    return "";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.status(), kExitUsage);
    return failure.what();
  }
}

// A struct is built once and shared by every variable, member and element
// that has it. Unions within unions, each member the union before, double
// their parts at every level in the same byte: such a file loads at once, and
// a variable with more parts than could be shown is left out, saying why.
TEST(CdbRecords, StructsAreBuiltOnceAndShared) {
  std::string cdb =
      "M:m\n"
      "T:Fm$pair[({0}S:S$lo$0_0$0({1}SC:U),Z,0,0)({1}S:S$hi$0_0$0({1}SC:S),Z,0,0)]\n"
      "T:Fm$outer[({0}S:S$p$0_0$0({2}STpair:S),Z,0,0)({2}S:S$q$0_0$0({4}DA2d,STpair:S),Z,0,0)]\n"
      "S:G$a$0_0$0({6}STouter:S),F,0,0\nL:G$a$0_0$0:10\n"
      "S:G$b$0_0$0({6}STouter:S),F,0,0\nL:G$b$0_0$0:20\n"
      "S:G$c$0_0$0({2}STpair:S),F,0,0\nL:G$c$0_0$0:30\n"
      "T:Fm$u0[({0}S:S$x$0_0$0({1}SC:U),Z,0,0)]\n";
  for (int level = 1; level < 40; ++level) {
    cdb += fmt::format(
        "T:Fm$u{0}[({{0}}S:S$x$0_0$0({{1}}STu{1}:S),Z,0,0)({{0}}S:S$y$0_0$0({{1}}STu{1}:S),Z,0,0)]"
        "\n",
        level, level - 1);
  }
  // u16 has 3 * 2^16 - 1 parts, u17 twice as many and one more.
  for (const char* name : {"u16", "u17", "u39"}) {
    cdb += fmt::format("S:G${0}$0_0$0({{1}}ST{0}:S),E,0,0\nL:G${0}$0_0$0:40\n", name);
  }
  const SymbolTable program = ParseCdb(cdb, "p.cdb");
  EXPECT_EQ(ResolveName(program, "a").type, ResolveName(program, "b").type);
  const TypePtr pair = ResolveName(program, "c").type;
  for (const char* name : {"a.p", "b.p", "a.q[1]"}) {
    EXPECT_EQ(ResolveName(program, name).type, pair) << name;
  }
  EXPECT_EQ(ResolveName(program, "u16.y.x.y").type->Name(), "struct u13");
  for (const char* name : {"u17", "u39"}) {
    EXPECT_EQ(program.Find(name), nullptr) << name;
    EXPECT_NE(program.Missing(name).find("is in p.cdb but left out: its value has more than "
                                         "262144 members and elements"),
              std::string::npos)
        << program.Missing(name);
  }
}

// Types nest as deep as programs write them. A chain of declarators, or of
// structs within structs, deeper than that is refused naming the line where
// it went too deep, instead of running the reader out of stack.
TEST(CdbRecords, TypesNestedTooDeepAreRefusedWithTheirLine) {
  const auto pointers = [](int depth) {
    std::string chain;
    for (int i = 0; i < depth; ++i) chain += "DG,";
    return "M:m\nS:G$p$0_0$0({3}" + chain + "SC:U),E,0,0\nL:G$p$0_0$0:30\n";
  };
  // s0 holds a char, every later struct the one before it; v is the last.
  const auto structs = [](int count) {
    std::string cdb = "M:m\nT:Fm$s0[({0}S:S$c$0_0$0({1}SC:U),Z,0,0)]\n";
    for (int i = 1; i < count; ++i) {
      cdb += fmt::format("T:Fm$s{}[({{0}}S:S$m{}$0_0$0({{1}}STs{}:S),Z,0,0)]\n", i, i, i - 1);
    }
    return cdb + fmt::format("S:G$v$0_0$0({{1}}STs{}:S),E,0,0\nL:G$v$0_0$0:30\n", count - 1);
  };
  const struct {
    const char* what;
    std::string cdb;
    std::string refusal;  // "": read
  } cases[] = {
      {"255 pointers", pointers(255), ""},
      {"256 pointers", pointers(256), "deep.cdb:2: the type of p nests more than 256 deep"},
      {"50000 pointers", pointers(50000), "deep.cdb:2: the type of p nests more than 256 deep"},
      {"255 structs", structs(255), ""},
      // The member at depth 256 is that of s(count - 256), on line count - 254.
      {"256 structs", structs(256), "deep.cdb:2: the type of c nests more than 256 deep"},
      {"50000 structs", structs(50000),
       "deep.cdb:49746: the type of m49744 nests more than 256 deep"},
  };
  for (const auto& c : cases) {
    const std::string refusal = Refusal(c.cdb, "deep.cdb");
    if (c.refusal.empty()) {
      EXPECT_EQ(refusal, "") << c.what;
    } else {
      EXPECT_TRUE(refusal.starts_with(c.refusal)) << c.what << ": " << refusal;
    }
  }
}

// Every address and size is taken as the file gives it, in 32 bits, and
// checked against its memory space: a symbol that does not fit is left out
// with why, and the others are read.
TEST(CdbRecords, SymbolsOutsideTheirSpaceAreLeftOutSayingWhy) {
  const std::string cdb =
      "M:m\n"
      "T:Fm$wide[({0}S:S$a$0_0$0({1}SC:U),Z,0,0)({4294967280}S:S$b$0_0$0({32}DA32d,SC:U),Z,0,0)]\n"
      "S:G$top$0_0$0({1}SC:U),E,0,0\nL:G$top$0_0$0:FF\n"
      "S:G$far$0_0$0({1}SC:U),E,0,0\nL:G$far$0_0$0:FFFFFFFF\n"
      "S:G$edge$0_0$0({2}SI:S),E,0,0\nL:G$edge$0_0$0:FF\n"
      "S:G$xl$0_0$0({4}SL:S),F,0,0\nL:G$xl$0_0$0:FFFE\n"
      "S:G$whole$0_0$0({65536}DA65536d,SC:U),F,0,0\nL:G$whole$0_0$0:0\n"
      "S:G$huge$0_0$0({0}DA2147483648d,SL:U),F,0,0\nL:G$huge$0_0$0:0\n"
      "S:G$w$0_0$0({0}STwide:S),F,0,0\nL:G$w$0_0$0:0\n"
      "S:G$low$0_0$0({1}SC:U),I,0,0\nL:G$low$0_0$0:33\n"
      "S:G$T2W$0_0$0({2}SI:U),I,0,0\nL:G$T2W$0_0$0:CDCC\n"
      "S:G$pairlow$0_0$0({2}SI:U),I,0,0\nL:G$pairlow$0_0$0:100\n"
      "S:G$eight$0_0$0({8}SI:U),I,0,0\nL:G$eight$0_0$0:8C8A8B8D\n"
      "S:G$pin$0_0$0({1}SX:U),J,0,0\nL:G$pin$0_0$0:97\n"
      "S:G$nopin$0_0$0({1}SX:U),J,0,0\nL:G$nopin$0_0$0:100\n";
  const SymbolTable program = ParseCdb(cdb, "p.cdb");
  const struct {
    const char* name;
    Place place;
  } read[] = {
      {"top", {Space::kIram, 0xFF, {}}},
      {"whole", {Space::kXram, 0, {}}},
      {"T2W", {Space::kSfr, 0xCC, {0xCC, 0xCD}}},
      {"pin", {Space::kSfr, 0x90, {}}},
  };
  for (const auto& r : read) {
    const Variable* v = program.Find(r.name);
    ASSERT_NE(v, nullptr) << r.name << ": " << program.Missing(r.name);
    EXPECT_EQ(v->place, r.place) << r.name;
  }
  EXPECT_EQ(program.Find("whole")->type->size, 0x10000u);
  const struct {
    const char* name;
    const char* why;
  } left_out[] = {
      {"far", "it takes 1 byte from FFFFFFFFh, past the end of iram"},
      {"edge", "it takes 2 bytes from FFh, past the end of iram"},
      {"xl", "it takes 4 bytes from FFFEh, past the end of xram"},
      {"huge", "its type takes more than 64 KB"},
      {"w", "its type takes more than 64 KB"},
      {"low", "its SFR address 33h and size (1 byte) fall outside the SFRs (80h-FFh)"},
      {"pairlow", "its SFR address 100h and size (2 bytes) fall outside the SFRs"},
      {"eight", "its SFR address 8C8A8B8Dh and size (8 bytes) fall outside the SFRs"},
      {"nopin", "its bit address 100h is beyond FFh"},
  };
  for (const auto& l : left_out) {
    EXPECT_EQ(program.Find(l.name), nullptr) << l.name;
    const std::string missing = program.Missing(l.name);
    EXPECT_NE(missing.find(std::string(l.name) + " is in p.cdb but left out: " + l.why),
              std::string::npos)
        << missing;
  }
}

// Records SDCC never writes, whose types would not hold together: refused.
TEST(CdbRecords, RecordsThatContradictThemselvesAreRefused) {
  const struct {
    const char* what;
    const char* cdb;
    const char* refusal;
  } cases[] = {
      // Offset and width that wrap around 32 bits to a small sum.
      {"bit-field past 64 bits", "M:m\nS:G$x$0_0$0({1}SB4294967295$2:U),E,0,0\n",
       "x.cdb: the type of x is not one SDCC writes"},
      // A value could not hold both.
      {"two members of one name",
       "M:m\nT:Fm$t[({0}S:S$a$0_0$0({1}SC:U),Z,0,0)({1}S:S$a$0_0$0({2}SI:U),Z,0,0)]\n",
       "x.cdb:2: not a record SDCC writes: T:Fm$t["},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(Refusal(c.cdb, "x.cdb").starts_with(c.refusal))
        << c.what << ": " << Refusal(c.cdb, "x.cdb");
  }
}

}  // namespace
}  // namespace tarlek::mon
