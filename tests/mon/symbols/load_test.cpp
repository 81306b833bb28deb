// The program's symbols loaded from the files beside each other: an
// assembly program's .cdb, which holds none, and its map.
#include "mon/symbols/load.h"

#include <gtest/gtest.h>

#include <string>

#include "base/failure.h"
#include "mon/symbols/target.h"
#include "support/test_support.h"

namespace tarlek::mon {
namespace {

using testing::TempDir;
using testing::WriteFile;

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

}  // namespace
}  // namespace tarlek::mon
