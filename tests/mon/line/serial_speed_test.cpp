// The line's speed on a serial device, a rate outside the termios table
// among them.
#include "mon/line/serial_speed.h"

#include <gtest/gtest.h>

#include "mon/support/fake_line.h"
#include "mon/support/fake_resident.h"
#include "mon/support/mon_process.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

// A rate outside the termios table (MIDI's 31250, a crystal's 28800) is set
// on a serial device through termios2.
TEST(SerialSmoke, RateOutsideTheTermiosTable) {
  TempDir dir;
  FakeLine line({.transport = Transport::kPseudoTerminal, .baud = 31250, .open_port = false});
  FakeResident& resident = *line.resident;
  const std::string& name = line.name;
  uint32_t speed = 0;
  resident.OnAnswered([&](uint8_t command) {
    if (command == protocol::kIdentify) speed = mon::ReadAnySpeed(line.device_fd);
  });
  resident.Start();
  const RunResult run =
      RunMon(dir.path(), {"-p", name, "-b", "31250", "--slack", "30", "identify"});
  resident.Stop();
  EXPECT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_NE(run.output.find("baud       31250"), std::string::npos) << run.output;
  EXPECT_EQ(speed, 31250u);
}

}  // namespace
}  // namespace tarlek::testing
