// A fake line for the tests and benchmarks of tarlek-mon: the fake resident
// on one end of a socket pair or of a pseudo-terminal, the client's port on
// the other and, once connected, a link over it, with the program's output
// as the link passed it on.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "mon/line/link.h"
#include "mon/line/port.h"
#include "mon/support/fake_resident.h"

namespace tarlek::testing {

enum class Transport { kSocketPair, kPseudoTerminal };

// The slack of exchanges that are not meant to time out: long enough that a
// busy machine never makes an answer look lost. A test that provokes
// time-outs gives a short slack of its own and counts retries as "at least".
inline constexpr std::chrono::milliseconds kPatientSlack{30000};

struct FakeLineOptions {
  Transport transport = Transport::kSocketPair;
  int version = 3;  // the protocol the resident speaks, 3 or 2
  uint8_t largest_payload = 255;
  uint32_t baud = 115200;
  // The link's.
  int retries = 2;
  std::chrono::milliseconds slack = kPatientSlack;
  std::optional<uint8_t> first_seq = {};
  // Opens the pseudo-terminal's device as the client's port here; false when
  // another process opens it by its name.
  bool open_port = true;
};

struct FakeLine {
  explicit FakeLine(FakeLineOptions line_options = {});
  ~FakeLine();
  FakeLine(const FakeLine&) = delete;
  FakeLine& operator=(const FakeLine&) = delete;

  // Makes the link with the options' settings and starts the resident.
  mon::Link& Connect();
  // Passes the program's output on until output holds n bytes, at most 10 s;
  // whether it does.
  bool WaitForOutput(size_t n);

  FakeLineOptions options;
  // The port's name: the pseudo-terminal's device, or "socketpair".
  std::string name;
  // The pseudo-terminal's device, held open for the life of the line.
  int device_fd = -1;
  std::unique_ptr<FakeResident> resident;
  std::unique_ptr<mon::Port> port;
  std::unique_ptr<mon::Link> link;
  // The program's output as the link passed it on.
  Bytes output;
};

}  // namespace tarlek::testing
