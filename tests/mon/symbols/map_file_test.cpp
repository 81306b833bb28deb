// What the client reads and writes as text: addresses, the linker map, the
// hex dump, Intel HEX, and the ranges where two images differ.
#include <gtest/gtest.h>

#include "base/failure.h"
#include "base/image_file.h"
#include "mon/line/address.h"
#include "mon/output/format.h"
#include "mon/symbols/map_file.h"

namespace tarlek::mon {
namespace {

TEST(Address, HexadecimalAsWritten) {
  const struct {
    const char* text;
    std::optional<uint32_t> value;
  } cases[] = {
      {"8000h", 0x8000}, {"8000H", 0x8000}, {"0x8000", 0x8000}, {"0X8000", 0x8000},
      {"8000", 0x8000},  {"0A0h", 0xA0},    {"ff", 0xFF},       {"0", 0},
      {"h", {}},         {"0x", {}},        {"", {}},           {"80g0", {}},
      {"-1", {}},        {"12 34", {}},     {"1000000", {}},    {"0xFFFFFF", 0xFFFFFF},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseHex(c.text), c.value) << c.text;
}

TEST(Address, SpacesAndRanges) {
  EXPECT_EQ(ParseSpace("XRAM"), Space::kXram);
  EXPECT_EQ(ParseSpace("sfr"), Space::kSfr);
  EXPECT_FALSE(ParseSpace("data").has_value());
  const auto range = ParseRange("8000h-0x80FF");
  ASSERT_TRUE(range.has_value());
  EXPECT_EQ(range->first, 0x8000u);
  EXPECT_EQ(range->last, 0x80FFu);
  EXPECT_FALSE(ParseRange("8100-80FF").has_value());
  EXPECT_FALSE(ParseRange("0-10000").has_value());
  EXPECT_FALSE(ParseRange("8000").has_value());
}

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

TEST(HexDumpLayout, LikeHexdumpC) {
  protocol::Bytes bytes;
  for (int i = 0; i < 20; ++i) bytes.push_back(static_cast<uint8_t>(0x41 + i));
  bytes[3] = 0x00;
  bytes[4] = 0xA5;
  EXPECT_EQ(HexDump(0x8000, bytes, 4),
            "8000  41 42 43 00 a5 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABC..FGHIJKLMNOP|\n"
            "8010  51 52 53 54                                       |QRST|\n");
  // An address that is not a multiple of 16 keeps each byte's column.
  EXPECT_EQ(HexDump(0x3E, protocol::Bytes{0x30, 0x31, 0x32}, 2),
            "30                                             30 31  |              01|\n"
            "40  32                                                |2|\n");
}

TEST(IntelHex, WritesRecordsOfSixteenAndReadsThemBack) {
  Segment segment{0x7FF8, {}};
  for (int i = 0; i < 20; ++i) segment.data.push_back(static_cast<uint8_t>(i));
  const std::string text = FormatIntelHex({segment});
  EXPECT_EQ(text,
            ":107FF800000102030405060708090A0B0C0D0E0F01\n"
            ":04800800101112132E\n"
            ":00000001FF\n");
  EXPECT_EQ(ParseIntelHex(text, "t.hex"), std::vector<Segment>{segment});
}

TEST(IntelHex, ReadsTheAddressesTheFileHolds) {
  // Two records with a hole, one adjoining, an extended linear address of 0,
  // CR LF line ends.
  const std::string text =
      ":020000040000FA\r\n"
      ":0200100001FFEE\r\n"
      ":02001200ABCD74\r\n"
      ":01002000FFE0\r\n"
      ":00000001FF\r\n";
  const std::vector<Segment> expected = {{0x10, {0x01, 0xFF, 0xAB, 0xCD}}, {0x20, {0xFF}}};
  EXPECT_EQ(ParseIntelHex(text, "t.hex"), expected);

  const struct {
    const char* name;
    std::string text;
    const char* message;
  } bad[] = {
      {"checksum", ":0100200000DE\n", "t.hex:1: bad checksum"},
      {"not a record", "hello\n", "t.hex:1: not an Intel HEX record"},
      {"short count", ":0200200000DE\n", "t.hex:1: record length"},
      {"above FFFFh", ":020000040001F9\n:0100000000FF\n", "t.hex:2: data above FFFFh"},
  };
  for (const auto& b : bad) {
    try {
      ParseIntelHex(b.text, "t.hex");
      ADD_FAILURE() << b.name;
    } catch (const Failure& f) {
      EXPECT_EQ(f.status(), kExitUsage) << b.name;
      EXPECT_NE(std::string(f.what()).find(b.message), std::string::npos) << f.what();
    }
  }
}

TEST(Differences, RangesOfDifferingBytes) {
  const protocol::Bytes file = {1, 2, 3, 4, 5, 6, 7, 8};
  const protocol::Bytes chip = {1, 0, 0, 4, 5, 6, 0, 8};
  const std::vector<Difference> expected = {
      {0x8001, 0x8002, {2, 3}, {0, 0}},
      {0x8006, 0x8006, {7}, {0}},
  };
  EXPECT_EQ(FindDifferences(0x8000, file, chip), expected);
  EXPECT_TRUE(FindDifferences(0, file, file).empty());
}

}  // namespace
}  // namespace tarlek::mon
