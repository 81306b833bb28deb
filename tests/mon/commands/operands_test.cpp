// The operands of a command turned into its plan: spaces, addresses,
// counts and symbols, and the operands refused with a usage error.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "base/failure.h"
#include "mon/commands/run.h"
#include "mon/support/session.h"
#include "support/test_support.h"

namespace tarlek::mon {
namespace {

using testing::Parsed;
using testing::TempDir;

// Where a plan's target lies, how many bytes it has and its name.
struct Resolved {
  Space space = Space::kCode;
  uint32_t address = 0;
  uint32_t size = 0;
  std::string name;
  bool operator==(const Resolved&) const = default;

  static Resolved Of(const Plan& plan, size_t i = 0) {
    const Target& t = plan.targets.at(i);
    return {t.place.space, t.place.address, t.type->size, t.name};
  }
};

void PrintTo(const Resolved& r, std::ostream* os) {
  *os << SpaceName(r.space) << " " << r.address << " x" << r.size << " " << r.name;
}

TEST(Plan, ResolvesAddressesCountsAndSymbols) {
  TempDir dir;
  testing::WriteFile(dir / "p.map",
                     std::string("Area  Addr  Size  Decimal Bytes (Attributes)\n"
                                 "DSEG  00000000  00000073 =  115. bytes (REL,CON)\n"
                                 "      Value  Global\n"
                                 "     00000041  _counter   demo\n"
                                 "     00000043  _B         demo\n"
                                 "XSEG  00000000  00000010 =  16. bytes (REL,CON,XDATA)\n"
                                 "      Value  Global\n"
                                 "D:   00000100  _table   demo\n"));
  auto plan_of = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-p", "x", "-m", dir / "p.map"});
    return MakePlan(Parsed(args));
  };
  EXPECT_EQ(Resolved::Of(plan_of({"read", "code", "0x8000"})),
            (Resolved{Space::kCode, 0x8000, 16, "code 8000h"}));
  EXPECT_EQ(Resolved::Of(plan_of({"read", "sfr", "F8h"})),
            (Resolved{Space::kSfr, 0xF8, 8, "sfr F8h"}));
  // A symbol reads its own size, up to the next symbol of its area.
  EXPECT_EQ(Resolved::Of(plan_of({"read", "counter"})),
            (Resolved{Space::kIram, 0x41, 2, "counter"}));
  EXPECT_EQ(Resolved::Of(plan_of({"read", "xram", "table", "10"})),
            (Resolved{Space::kXram, 0x100, 16, "table"}));
  const Plan watch = plan_of({"watch", "counter", "table:4"});
  ASSERT_EQ(watch.targets.size(), 2u);
  EXPECT_EQ(Resolved::Of(watch, 1), (Resolved{Space::kXram, 0x100, 4, "table:4"}));
  // NAME COUNT and NAME:COUNT alike, in read and in watch, between other names.
  for (const auto& args : std::vector<std::vector<std::string>>{{"read", "counter", "3"},
                                                                {"read", "counter:3"},
                                                                {"watch", "counter", "3", "B"},
                                                                {"watch", "counter:3", "B"}}) {
    const Resolved first = Resolved::Of(plan_of(args));
    EXPECT_EQ(first.size, 3u) << ::testing::PrintToString(args);
    EXPECT_EQ(first.address, 0x41u) << ::testing::PrintToString(args);
  }
  // Names and hexadecimal numbers: after a space, a number is an address,
  // unless a symbol of that name lies elsewhere in the same space.
  EXPECT_EQ(Resolved::Of(plan_of({"read", "xram", "B", "1"})),
            (Resolved{Space::kXram, 0x0B, 1, "xram 000Bh"}));
  EXPECT_EQ(Resolved::Of(plan_of({"read", "iram", "0xB", "1"})),
            (Resolved{Space::kIram, 0x0B, 1, "iram 0Bh"}));
  EXPECT_EQ(Resolved::Of(plan_of({"read", "B"})).address, 0x43u);
  EXPECT_EQ(Resolved::Of(plan_of({"read", "code", "AC", "4"})),
            (Resolved{Space::kCode, 0xAC, 4, "code 00ACh"}));
  const Plan write = plan_of({"write", "iram", "30", "1", "0A0h", "ff"});
  EXPECT_EQ(write.data, (protocol::Bytes{0x01, 0xA0, 0xFF}));
  EXPECT_EQ(plan_of({"dump", "f.hex", "--range", "8000-80ff"}).range.last, 0x80FFu);

  const struct {
    std::vector<std::string> args;
    const char* message;
  } bad[] = {
      {{"read", "iram", "counterx"}, "neither a hexadecimal address nor a symbol"},
      {{"read", "xram", "counter"}, "counter is in iram, not in xram"},
      {{"read", "iram", "100"}, "outside iram"},
      {{"read", "sfr", "7F"}, "outside sfr"},
      {{"read", "iram", "F0", "11"}, "run past the end of iram"},
      {{"read", "code", "0", "0"}, "not a count"},
      {{"write", "code", "0", "1"}, "code memory cannot be written"},
      {{"write", "iram", "30", "100"}, "not a byte"},
      {{"write", "sfr", "98", "0"}, "SCON (98h) and SBUF (99h)"},
      {{"dump", "f.hex", "--range", "9000-8000"}, "not a range"},
      {{"read", "iram", "B", "1"},
       "iram B could be the address iram 0Bh or the variable B at iram 43h: write 0xB or Bh"},
      {{"watch", "counter", "B"}, "B could be a count (Bh bytes) or the variable B"},
      {{"read", "nothing"}, "neither a memory space nor a symbol"},
      {{"write", "counter:2", "1"}, "counter:2 names 2 bytes; 1 given"},
  };
  for (const auto& b : bad) {
    try {
      plan_of(b.args);
      ADD_FAILURE() << ::testing::PrintToString(b.args);
    } catch (const Failure& f) {
      EXPECT_EQ(f.status(), kExitUsage);
      EXPECT_NE(std::string(f.what()).find(b.message), std::string::npos) << f.what();
    }
  }
}

}  // namespace
}  // namespace tarlek::mon
