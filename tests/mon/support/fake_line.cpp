#include "mon/support/fake_line.h"

#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "base/clock.h"

namespace tarlek::testing {

FakeLine::FakeLine(FakeLineOptions line_options) : options(line_options) {
  const auto& o = options;
  if (o.transport == Transport::kSocketPair) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
      throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    }
    name = "socketpair";
    resident = std::make_unique<FakeResident>(fds[1], o.largest_payload, o.baud, o.version);
    port = std::make_unique<mon::Port>(mon::Port::FromDescriptors(fds[0], fds[0], name));
    return;
  }
  int master = -1;
  char device[64];
  if (::openpty(&master, &device_fd, device, nullptr, nullptr) != 0) {
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  }
  name = device;
  resident = std::make_unique<FakeResident>(master, o.largest_payload, o.baud, o.version);
  if (o.open_port) port = std::make_unique<mon::Port>(mon::Port::Open(name, o.baud));
}

FakeLine::~FakeLine() {
  link.reset();
  port.reset();
  resident.reset();
  if (device_fd >= 0) ::close(device_fd);
}

mon::Link& FakeLine::Connect() {
  mon::LinkSettings settings;
  settings.baud = options.baud;
  settings.retries = options.retries;
  settings.slack = options.slack;
  settings.first_seq = options.first_seq;
  settings.output = [this](std::span<const uint8_t> bytes) {
    output.insert(output.end(), bytes.begin(), bytes.end());
  };
  link = std::make_unique<mon::Link>(*port, settings);
  resident->Start();
  return *link;
}

bool FakeLine::WaitForOutput(size_t n) {
  const auto limit = Clock::now() + std::chrono::seconds(10);
  while (output.size() < n && Clock::now() < limit) {
    link->Listen(Clock::now() + std::chrono::milliseconds(20));
  }
  return output.size() >= n;
}

}  // namespace tarlek::testing
