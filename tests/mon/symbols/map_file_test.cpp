// The linker's map: the areas of one written by SDCC's linker, and of a
// program built here with sdcc, every symbol in its space or left out with a
// note, and the names the linker cut short.
#include "mon/symbols/map_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "mon/symbols/sdcc_program.h"
#include "mon/symbols/symbol_table.h"
#include "support/test_support.h"

namespace tarlek::mon {
namespace {

using testing::BuildWithSdcc;
using testing::HaveSdcc;
using testing::TempDir;
using testing::WriteFile;

// Excerpts of a map as SDCC's linker writes it for a small program.
constexpr const char* kMap = R"(ASxxxx Linker V03.00 + NoICE + sdld,  page 1.
Hexadecimal  [32-Bits]

Area                                    Addr        Size        Decimal Bytes (Attributes)
--------------------------------        ----        ----        ------- ----- ------------
CABS                                00000000    00000000 =           0. bytes (ABS,CON,CODE)

      Value  Global                              Global Defined In Module
      -----  --------------------------------   ------------------------
C:   00000008  l_ISEG
C:   00000062  s_CSEG

Area                                    Addr        Size        Decimal Bytes (Attributes)
--------------------------------        ----        ----        ------- ----- ------------
.  .ABS.                            00000000    00000000 =           0. bytes (ABS,CON)

      Value  Global                              Global Defined In Module
      -----  --------------------------------   ------------------------
     000000A0  __XPAGE

Area                                    Addr        Size        Decimal Bytes (Attributes)
--------------------------------        ----        ----        ------- ----- ------------
DSEG                                00000000    00000073 =         115. bytes (REL,CON)

      Value  Global                              Global Defined In Module
      -----  --------------------------------   ------------------------
     00000008  _counter                           p
     00000009  _flags                             p

Area                                    Addr        Size        Decimal Bytes (Attributes)
--------------------------------        ----        ----        ------- ----- ------------
ISEG                                0000000B    00000008 =           8. bytes (REL,CON)

      Value  Global                              Global Defined In Module
      -----  --------------------------------   ------------------------
     0000000B  _buf                               p

Area                                    Addr        Size        Decimal Bytes (Attributes)
--------------------------------        ----        ----        ------- ----- ------------
BSEG                                00000000    00000001 =           1. bytes (REL,CON,BIT)

      Value  Global                              Global Defined In Module
      -----  --------------------------------   ------------------------
     00000000  _ready                             p

Area                                    Addr        Size        Decimal Bytes (Attributes)
--------------------------------        ----        ----        ------- ----- ------------
PSEG                                00000001    00000001 =           1. bytes (REL,CON,PAG,XDATA)

      Value  Global                              Global Defined In Module
      -----  --------------------------------   ------------------------
D:   00000001  _pd                                p

Area                                    Addr        Size        Decimal Bytes (Attributes)
--------------------------------        ----        ----        ------- ----- ------------
XSEG                                00000003    00000064 =         100. bytes (REL,CON,XDATA)

      Value  Global                              Global Defined In Module
      -----  --------------------------------   ------------------------
D:   00000003  _big                               p

Area                                    Addr        Size        Decimal Bytes (Attributes)
--------------------------------        ----        ----        ------- ----- ------------
CSEG                                00000062    00000024 =          36. bytes (REL,CON,CODE)

      Value  Global                              Global Defined In Module
      -----  --------------------------------   ------------------------
C:   00000062  _main                              p
)";

TEST(MapFile, SymbolsTakeTheSpaceOfTheirArea) {
  const SymbolTable table = ParseMap(kMap, "p.map");
  const struct {
    const char* name;
    Space space;
    uint16_t address;
  } found[] = {
      {"counter", Space::kIram, 0x08}, {"_flags", Space::kIram, 0x09}, {"buf", Space::kIram, 0x0B},
      {"pd", Space::kXram, 0x01},      {"big", Space::kXram, 0x03},    {"main", Space::kCode, 0x62},
  };
  for (const auto& f : found) {
    const Variable* s = table.Find(f.name);
    ASSERT_NE(s, nullptr) << f.name;
    EXPECT_EQ(s->place.space, f.space) << f.name;
    EXPECT_EQ(s->place.address, f.address) << f.name;
  }
  // Bits, absolute symbols and the linker's area bounds are no bytes to read.
  for (const char* absent : {"ready", "_ready", "__XPAGE", "s_CSEG", "l_ISEG", "nothing"}) {
    EXPECT_EQ(table.Find(absent), nullptr) << absent;
  }
}

// Each symbol's bytes reach up to the next symbol of its area, which may go
// on over pages of the map; another area of the same space does not end it.
// An address beyond the area's space leaves the symbol out.
TEST(MapRecords, SizesUpToTheNextSymbolOfTheAreaAndAddressesWithinTheSpace) {
  const std::string map =
      "Area                    Addr        Size        Decimal Bytes (Attributes)\n"
      "DSEG                00000030    00000010 = 16. bytes (REL,CON)\n"
      "        Value  Global            Value  Global\n"
      "     00000034  _b         |    00000030  _a\n"
      "ISEG                00000032    00000002 =  2. bytes (REL,CON)\n"
      "        Value  Global\n"
      "     00000032  _i\n"
      "Area                    Addr        Size        Decimal Bytes (Attributes)\n"
      "DSEG                00000030    00000010 = 16. bytes (REL,CON)\n"
      "        Value  Global\n"
      "     0000003C  _c\n"
      "     000000FF  _top\n"
      "     00000100  _over\n"
      "     00000200  _far\n"
      "XSEG                0000FFF0    00000020 = 32. bytes (REL,CON,XDATA)\n"
      "        Value  Global\n"
      "     0000FFF0  _x\n"
      "     00010000  _y\n";
  const SymbolTable program = ParseMap(map, "p.map");
  const struct {
    const char* name;
    Space space;
    uint32_t address;
    uint32_t size;
  } found[] = {
      {"a", Space::kIram, 0x30, 4},   {"b", Space::kIram, 0x34, 8},
      {"i", Space::kIram, 0x32, 2},   {"c", Space::kIram, 0x3C, 4},
      {"top", Space::kIram, 0xFF, 1}, {"x", Space::kXram, 0xFFF0, 0x10},
  };
  for (const auto& f : found) {
    const Variable* v = program.Find(f.name);
    ASSERT_NE(v, nullptr) << f.name << ": " << program.Missing(f.name);
    EXPECT_EQ(v->place, (Place{f.space, f.address, {}})) << f.name;
    EXPECT_EQ(v->type->size, f.size) << f.name;
  }
  const struct {
    const char* name;
    const char* why;
  } left_out[] = {
      {"over", "its address is beyond internal RAM (FFh)"},
      {"far", "its address is beyond internal RAM (FFh)"},
      {"y", "its address is beyond 64 KB"},
  };
  for (const auto& l : left_out) {
    EXPECT_EQ(program.Find(l.name), nullptr) << l.name;
    EXPECT_NE(program.Missing(l.name).find(l.why), std::string::npos) << program.Missing(l.name);
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

}  // namespace
}  // namespace tarlek::mon
