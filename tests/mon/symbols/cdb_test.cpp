// Typed symbols: SDCC's .cdb and linker map for a program built here with
// sdcc (every type and memory space a variable may have), hand-made records
// for the corners, names resolved to places, and values to and from bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "base/failure.h"
#include "mon/symbols/cdb.h"
#include "mon/symbols/map_file.h"
#include "mon/symbols/symbol_table.h"
#include "mon/symbols/target.h"
#include "mon/symbols/value.h"
#include "support/test_support.h"

namespace tarlek::mon {
namespace {

using testing::TempDir;
using testing::WriteFile;

// Every kind of global and static a C program for the 8051 has. SDCC lays
// structs out without padding: sensor_t is temp 0, flags 2, in 3 (a 1, b 4),
// the bit-fields in byte 6, scale 7.
constexpr const char* kProgram = R"(#include <8051.h>
#include <stdbool.h>
struct inner { unsigned char a; int b; };
struct sensor_t { int temp; unsigned char flags; struct inner in;
                  unsigned int f1 : 3; unsigned int f2 : 5; float scale; };
union u_t { unsigned long l; unsigned char b[4]; };
struct log_t { unsigned int when; signed char what; };
__data unsigned char counter8 = 1;
__data int counter = -2;
__idata long along = 100000;
__xdata long long ll = -5;
__xdata float fl = 1.5;
__bit flag;
__bit flag2;
bool boolean;
__pdata unsigned char pd = 3;
__code const unsigned char table[4] = {1, 2, 3, 4};
__xdata struct sensor_t sensor;
__xdata union u_t un;
__xdata struct log_t log[5];
__data unsigned char * __data dptr;
__idata unsigned char * __data iptr;
__xdata unsigned char * __data xptr;
__code unsigned char * __data cptr;
unsigned char *gptr;
__pdata unsigned char *pptr;
static __data unsigned char fstatic = 7;
__sfr __at(0xA8) MYIE;
__sbit __at(0x93) MYP13;
__sfr16 __at(0x8C8A) T0W;
__data __at(0x30) unsigned char absvar;
__xdata __at(0x2000) unsigned int absx;
int f(int x) { static int st; int loc = x * 2; st += loc; return st + fstatic; }
void main(void) {
  unsigned char i;
  for (i = 0; i < 5; i++) log[i].when = i;
  counter = f(counter); fl = fl * 2; flag = !flag; flag2 = flag; boolean = !flag2;
  P1 = 3; MYIE = 0; MYP13 = 1; T0W = 0;
  for (;;) {}
}
)";

bool HaveSdcc() { return std::system("command -v sdcc >/dev/null 2>&1") == 0; }

// Builds kProgram in dir with --debug: prog.cdb, prog.map, prog.rst.
void BuildWithSdcc(const TempDir& dir) {
  WriteFile(dir / "prog.c", std::string(kProgram));
  const std::string command =
      "cd '" + dir.path() + "' && sdcc -mmcs51 --debug prog.c >sdcc.log 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << testing::ReadText(dir / "sdcc.log");
}

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

// The map of the same program: every area recognised, every symbol in its
// space with its size up to the next, the absolute ones left out with a note.
TEST(MapFromSdcc, EverySymbolInItsSpaceOrLeftOutWithANote) {
  if (!HaveSdcc()) GTEST_SKIP() << "sdcc is not installed";
  TempDir dir;
  BuildWithSdcc(dir);
  const SymbolTable map = ParseMap(testing::ReadText(dir / "prog.map"), "prog.map");
  const struct {
    const char* name;
    Space space;
    uint32_t size;
  } found[] = {
      {"counter8", Space::kIram, 1}, {"counter", Space::kIram, 2}, {"along", Space::kIram, 4},
      {"pd", Space::kXram, 1},       {"sensor", Space::kXram, 11}, {"log", Space::kXram, 15},
      {"table", Space::kCode, 4},    {"main", Space::kCode, 0},    {"_gptr", Space::kIram, 3},
  };
  for (const auto& f : found) {
    const Variable* v = map.Find(f.name);
    ASSERT_NE(v, nullptr) << f.name;
    EXPECT_EQ(v->place.space, f.space) << f.name;
    if (f.size != 0) {
      EXPECT_EQ(v->type->size, f.size) << f.name;
    }
  }
  for (const char* absolute : {"absvar", "absx", "P1", "MYIE", "EA", "T0W"}) {
    EXPECT_EQ(map.Find(absolute), nullptr) << absolute;
    EXPECT_NE(map.Missing(absolute).find("absolute symbol"), std::string::npos)
        << map.Missing(absolute);
  }
  EXPECT_NE(map.Missing("nothing").find("not a variable"), std::string::npos);
}

// SDCC's linker shows a name in its map only up to its column: 9 characters
// where several symbols share a line (the default), 32 with -w. A name cut
// there still finds its variable by its whole name, unless two cut names
// begin it alike. Assembled and linked here, in both layouts.
TEST(MapFromSdcc, NamesTheLinkerCutShort) {
  if (std::system("command -v sdas8051 >/dev/null 2>&1 && command -v sdld >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "sdas8051 or sdld is not installed";
  }
  TempDir dir;
  WriteFile(dir / "names.asm", std::string(R"(	.module names
	.globl counter_long_name, counter_long_other, b1234567890, short1
	.globl _a_name_that_is_longer_than_the_thirty_two_column
	.area DSEG (DATA)
counter_long_name:	.ds 2
counter_long_other:	.ds 1
b1234567890:	.ds 1
short1:	.ds 1
_a_name_that_is_longer_than_the_thirty_two_column:	.ds 2
	.area CSEG (CODE)
start:	sjmp start
)"));
  const std::string command = "cd '" + dir.path() +
                              "' && sdas8051 -los names.asm >tools.log 2>&1 && "
                              "sdld -n -m -i narrow.ihx names.rel >>tools.log 2>&1 && "
                              "sdld -n -m -w -i wide.ihx names.rel >>tools.log 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << testing::ReadText(dir / "tools.log");
  const SymbolTable narrow = ParseMap(testing::ReadText(dir / "narrow.map"), "narrow.map");
  const SymbolTable wide = ParseMap(testing::ReadText(dir / "wide.map"), "wide.map");
  // The map itself: the narrow layout really cuts.
  ASSERT_EQ(testing::ReadText(dir / "narrow.map").find("b1234567890"), std::string::npos);
  const struct {
    const SymbolTable& map;
    const char* name;
    int address;  // -1: not found
  } cases[] = {
      {narrow, "b1234567890", 3},
      {narrow, "short1", 4},
      {narrow, "a_name_that_is_longer_than_the_thirty_two_column", 5},
      {narrow, "counter_long_name", -1},  // counter_l: both counters begin so
      {wide, "b1234567890", 3},
      {wide, "counter_long_name", 0},
      {wide, "counter_long_other", 2},
      {wide, "counter_long", -1},  // no name is cut to it
      {wide, "a_name_that_is_longer_than_the_thirty_two_column", 5},
      {wide, "_a_name_that_is_longer_than_the_thirty_two_column", 5},
      {wide, "a_name_that_is_longer_than_the", -1},  // shorter than the cut name
  };
  for (const auto& c : cases) {
    const Variable* v = c.map.Find(c.name);
    if (c.address < 0) {
      EXPECT_EQ(v, nullptr) << c.map.source() << ": " << c.name;
      continue;
    }
    ASSERT_NE(v, nullptr) << c.map.source() << ": " << c.name << ": " << c.map.Missing(c.name);
    EXPECT_EQ(v->place.space, Space::kIram) << c.name;
    EXPECT_EQ(v->place.address, static_cast<uint32_t>(c.address))
        << c.map.source() << ": " << c.name;
  }
  const std::string both = narrow.Missing("counter_long_name");
  EXPECT_NE(both.find("could be the start of counter_long_name"), std::string::npos) << both;
  EXPECT_NE(both.find("-w"), std::string::npos) << both;
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

// An assembly program's .cdb holds no symbols: the map beside it gives them.
TEST(CdbRecords, AssemblySymbolsFromTheMapBesideIt) {
  TempDir dir;
  WriteFile(dir / "a.cdb", std::string("L:A$a$11:0\n"));
  WriteFile(dir / "a.map",
            std::string("Area  Addr  Size  Decimal Bytes (Attributes)\n"
                        "DSEG                   00000030    00000003 =  3. bytes (REL,CON)\n"
                        "        Value  Global            Value  Global\n"
                        "     00000030  value     |    00000031  count16\n"));
  const SymbolTable program = LoadSymbols(dir / "a.cdb");
  const Target count = ResolveName(program, "count16");
  EXPECT_EQ(count.place.address, 0x31u);
  EXPECT_EQ(count.type->Name(), "2 bytes");
  EXPECT_EQ(ResolveName(program, "value").type->size, 1u);
  WriteFile(dir / "lonely.cdb", std::string("L:A$a$11:0\n"));
  EXPECT_THROW(LoadSymbols(dir / "lonely.cdb"), Failure);
}

TEST(Values, DecodeAndFormat) {
  const auto bitfield = [](uint8_t offset, uint8_t width, bool is_signed) {
    Type t;
    t.kind = TypeKind::kBitField;
    t.size = static_cast<uint32_t>(offset + width + 7) / 8;
    t.bit_offset = offset;
    t.bit_width = width;
    t.is_signed = is_signed;
    return t;
  };
  Type fl;
  fl.kind = TypeKind::kFloat;
  fl.size = 4;
  Type generic;
  generic.kind = TypeKind::kPointer;
  generic.pointer = PointerKind::kGeneric;
  generic.size = 3;
  Type xptr = generic;
  xptr.pointer = PointerKind::kXdata;
  xptr.size = 2;
  const struct {
    Type type;
    protocol::Bytes bytes;
    const char* json;
    const char* text;
    const char* hex;
  } cases[] = {
      {*IntegerType(2, true), {0xFE, 0xFF}, "-2", "-2", "FFFEh"},
      {*IntegerType(2, false), {0x34, 0x12}, "4660", "4660", "1234h"},
      {*IntegerType(4, true), {0x00, 0x00, 0x00, 0x80}, "-2147483648", "-2147483648", "80000000h"},
      {*IntegerType(8, false), protocol::Bytes(8, 0xFF), "18446744073709551615",
       "18446744073709551615", "FFFFFFFFFFFFFFFFh"},
      {fl, {0x00, 0x00, 0xC0, 0x3F}, "1.5", "1.5", "1.5"},
      {fl, {0x00, 0x00, 0xC0, 0x7F}, "null", "nan", "nan"},
      {bitfield(3, 5, false), {0xF8}, "31", "31", "1Fh"},
      {bitfield(4, 9, true), {0x00, 0x10}, "-256", "-256", "100h"},
      {bitfield(7, 1, false), {0x80}, "1", "1", "1h"},
      {generic, {0x34, 0x12, 0x00}, "\"xdata 1234h\"", "xdata 1234h", "xdata 1234h"},
      {generic, {0x30, 0x00, 0x40}, "\"iram 30h\"", "iram 30h", "iram 30h"},
      {generic, {0x00, 0x01, 0x80}, "\"code 0100h\"", "code 0100h", "code 0100h"},
      {xptr, {0x00, 0x80}, "32768", "xdata 8000h", "xdata 8000h"},
      {*BytesType(3), {0x01, 0xAB, 0x00}, "[1,171,0]", "01 AB 00", "01 AB 00"},
  };
  for (const auto& c : cases) {
    const auto value = DecodeValue(c.type, c.bytes);
    EXPECT_EQ(value.dump(), c.json) << c.type.Name();
    EXPECT_EQ(FormatValue(c.type, value, false), c.text) << c.type.Name();
    EXPECT_EQ(FormatValue(c.type, value, true), c.hex) << c.type.Name();
  }
}

TEST(Values, EncodeWhatTheTypeTakes) {
  Type bits;
  bits.kind = TypeKind::kBitField;
  bits.size = 1;
  bits.bit_offset = 3;
  bits.bit_width = 2;
  Type fl;
  fl.kind = TypeKind::kFloat;
  fl.size = 4;
  Type generic;
  generic.kind = TypeKind::kPointer;
  generic.size = 3;
  const struct {
    Type type;
    const char* text;
    protocol::Bytes old;
    protocol::Bytes bytes;
  } cases[] = {
      {*IntegerType(2, true), "-2", {}, {0xFE, 0xFF}},
      {*IntegerType(2, true), "-32768", {}, {0x00, 0x80}},
      {*IntegerType(2, true), "0xFFFF", {}, {0xFF, 0xFF}},
      {*IntegerType(2, false), "1234h", {}, {0x34, 0x12}},
      {*IntegerType(2, false), "-0", {}, {0x00, 0x00}},
      {*IntegerType(8, true), "-1", {}, protocol::Bytes(8, 0xFF)},
      {fl, "-0.25", {}, {0x00, 0x00, 0x80, 0xBE}},
      {bits, "2", {0xFF}, {0xF7}},  // only bits 3 and 4 change
      {bits, "3", {0x00}, {0x18}},
      {generic, "xdata:1234", {}, {0x34, 0x12, 0x00}},
      {generic, "code:0100h", {}, {0x00, 0x01, 0x80}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EncodeValue(c.type, c.text, c.old), c.bytes) << c.type.Name() << " " << c.text;
  }
  Type array;
  array.kind = TypeKind::kArray;
  array.element = IntegerType(1, false);
  array.count = 2;
  array.size = 2;
  const struct {
    Type type;
    const char* text;
    const char* message;
  } refused[] = {
      {*IntegerType(1, false), "256", "(0 to 255)"},
      {*IntegerType(1, false), "-1", "(0 to 255)"},
      {*IntegerType(2, true), "-32769", "(-32768 to 32767)"},
      {*IntegerType(2, true), "12x", "not a value"},
      {bits, "4", "(0 to 3)"},
      {fl, "1e99", "not a value for a float"},
      {fl, "", "not a value for a float"},
      {generic, "stack:12", "not a generic pointer"},
      {array, "1", "element by element"},
  };
  for (const auto& r : refused) {
    try {
      EncodeValue(r.type, r.text, protocol::Bytes(r.type.size));
      ADD_FAILURE() << r.text;
    } catch (const Failure& failure) {
      EXPECT_NE(std::string(failure.what()).find(r.message), std::string::npos)
          << r.text << ": " << failure.what();
    }
  }
}

}  // namespace
}  // namespace tarlek::mon
