// Protocol efficiency of a full code dump, measured against the fake resident
// of the tests on a socket pair, paced at the baud rate as a serial line would
// be (10 bits a byte in each direction, the answer after its request's line
// time). Prints payload bytes over all bytes on the line, and the dump's time
// against the line's own limit, bytes x 10 / baud.
//
//   tarlek_mon_bench [BAUD [BYTES [LARGEST_PAYLOAD]]]    (9600 65536 255)
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "mon/line/link.h"
#include "mon/support/fake_line.h"

int main(int argc, char** argv) {
  using namespace tarlek::mon;
  const uint32_t baud = argc > 1 ? static_cast<uint32_t>(std::atol(argv[1])) : 9600;
  const size_t bytes = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 65536;
  const auto largest = static_cast<uint8_t>(argc > 3 ? std::atoi(argv[3]) : 255);
  // The tool's own slack and retries, as a user's run has them.
  tarlek::testing::FakeLine fake(
      {.largest_payload = largest, .baud = baud, .slack = LinkSettings{}.slack});
  fake.resident->SetPacing(tarlek::testing::Pacing::kBytes);
  Link& link = fake.Connect();
  link.Identify();
  const size_t sent0 = link.bytes_sent(), received0 = link.bytes_received();
  const auto start = std::chrono::steady_clock::now();
  const Bytes data = link.Read(Space::kCode, 0, bytes);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  fake.resident->Stop();
  const size_t line = (link.bytes_sent() - sent0) + (link.bytes_received() - received0);
  const double limit = static_cast<double>(bytes) * 10.0 / baud;
  std::printf("dump of %zu bytes at %u baud, largest payload %u\n", data.size(), baud, largest);
  std::printf("line bytes      %zu (requests %zu, answers %zu)\n", line, link.bytes_sent() - sent0,
              link.bytes_received() - received0);
  std::printf("efficiency      %.1f %% payload\n",
              100.0 * static_cast<double>(bytes) / static_cast<double>(line));
  std::printf("time            %.2f s, line limit %.2f s: %.1f %% above it\n", seconds, limit,
              100.0 * (seconds / limit - 1.0));
  std::printf("retries         %zu\n", link.retries_done());
  return 0;
}
