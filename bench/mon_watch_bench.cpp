// Samples per second of watch's sampler against the fake resident of the
// tests on a socket pair, paced at the baud rate as a serial line would be
// (10 bits a byte each way, the answer after its request's line time), for
// 1, 4 and 8 int variables: half in internal RAM side by side, half in
// external RAM side by side, as a C program's globals lie. Prints the rate
// against the line's own limit for the same bytes, baud / 10 / (request and
// answer bytes of one sample).
//
//   tarlek_mon_watch_bench [SECONDS]    (3 per case)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mon/commands/sampler.h"
#include "mon/line/link.h"
#include "mon/support/fake_line.h"
#include "mon/symbols/cdb.h"

int main(int argc, char** argv) {
  using namespace tarlek::mon;
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  std::string cdb = "M:bench\n";
  for (int i = 0; i < 8; ++i) {
    const bool internal = i % 2 == 0;
    const int address = internal ? 0x30 + i : 0x100 + i;
    cdb += "S:G$v" + std::to_string(i) + "$0_0$0({2}SI:S)," + (internal ? "E" : "F") + ",0,0\n";
    char line[64];
    std::snprintf(line, sizeof line, "L:G$v%d$0_0$0:%X\n", i, address);
    cdb += line;
  }
  const SymbolTable program = ParseCdb(cdb, "bench.cdb");
  std::printf("%-7s %-5s %-9s %-10s %-11s %-10s %s\n", "baud", "names", "requests", "line B",
              "samples/s", "limit/s", "of limit");
  for (const uint32_t baud : {9600u, 115200u}) {
    for (const int names : {1, 4, 8}) {
      // The tool's own slack and retries, as a user's run has them.
      tarlek::testing::FakeLine fake(
          {.largest_payload = 64, .baud = baud, .slack = LinkSettings{}.slack});
      fake.resident->SetPacing(tarlek::testing::Pacing::kBytes);
      Link& link = fake.Connect();
      link.Identify();
      std::vector<std::string> list;
      for (int i = 0; i < names; ++i) list.push_back("v" + std::to_string(i));
      Sampler sampler(program, list);
      sampler.Take(link);  // plans the requests
      const size_t sent0 = link.bytes_sent(), received0 = link.bytes_received();
      const auto start = std::chrono::steady_clock::now();
      size_t samples = 0;
      double elapsed = 0;
      while (elapsed < seconds) {
        sampler.Take(link);
        ++samples;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      }
      fake.resident->Stop();
      const double line =
          static_cast<double>((link.bytes_sent() - sent0) + (link.bytes_received() - received0)) /
          static_cast<double>(samples);
      const double rate = static_cast<double>(samples) / elapsed;
      const double limit = baud / 10.0 / line;
      std::printf("%-7u %-5d %-9zu %-10.1f %-11.1f %-10.1f %.1f %%\n", baud, names,
                  sampler.requests(), line, rate, limit, 100.0 * rate / limit);
    }
  }
  return 0;
}
