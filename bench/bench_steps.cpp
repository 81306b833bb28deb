// Microbenchmarks of the steps of a run on a full 64 KB image: the Intel HEX
// reader and writer, the binary reader and the placement of the resident,
// each reporting bytes per second of the file it reads or writes (for the
// placement, of the resident image file it is given in memory).
//
// The files live in a scratch directory on tmpfs (/dev/shm) when there is
// one, so that the figures are the tool's work and not the disk's; set
// TARLEK_BENCH_DIR to use another place.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "base/console.h"
#include "merge/bin_reader.h"
#include "merge/bin_writer.h"
#include "merge/hex_reader.h"
#include "merge/hex_writer.h"
#include "merge/place_resident.h"

namespace {

using tarlek::ProgramState;

// A full program, 0000h..FEFFh, and the largest resident that fits at FF00h.
constexpr uint8_t kResidentPage = 0xFF;
constexpr uint16_t kResidentLength = 253;  // FF00h + 253 + 2 = FFFFh

// Scratch directory with the bench's files; the process works inside it.
class Scratch {
 public:
  Scratch() {
    const char* base = std::getenv("TARLEK_BENCH_DIR");
    struct stat st;
    if (base == nullptr) base = ::stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
    std::snprintf(path_, sizeof path_, "%s/tarlek-bench-XXXXXX", base);
    if (::mkdtemp(path_) == nullptr || ::chdir(path_) != 0) std::abort();
    console_fd_ = ::memfd_create("console", MFD_CLOEXEC);
    if (console_fd_ < 0) std::abort();
  }
  ~Scratch() {
    for (const char* name : {"full.hex", "full.bin", "out.hex", "out.bin"}) ::unlink(name);
    if (::chdir("/") == 0) ::rmdir(path_);
  }
  int console_fd() const { return console_fd_; }

 private:
  char path_[4096];
  int console_fd_;
};

Scratch& TheScratch() {
  static Scratch scratch;
  return scratch;
}

off_t FileSize(const char* name) {
  struct stat st;
  return ::stat(name, &st) == 0 ? st.st_size : 0;
}

void WriteWhole(const char* name, const void* data, size_t size) {
  FILE* f = std::fopen(name, "wb");
  if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) std::abort();
}

// The resident image file, in memory: the placement needs no file.
uint8_t g_resident[2 + 2 * kResidentLength];

// The full program as full.hex (written by the tool's own writer) and
// full.bin, the resident in g_resident, and the state of a run on full.hex
// after the placement.
const ProgramState& FullState() {
  static const ProgramState* state = [] {
    Scratch& scratch = TheScratch();
    auto* s = new ProgramState;
    std::mt19937 random(2026);
    const uint32_t end = kResidentPage * 0x100u;
    for (uint32_t a = 0; a < end; ++a) s->Image[a] = static_cast<uint8_t>(random());
    s->Image[0] = 0x12;
    s->Image[1] = kResidentPage;
    s->Image[2] = 0x00;
    s->Image[0x23] = 0x02;
    s->Image[0x24] = kResidentPage;
    WriteWhole("full.bin", s->Image.data(), end);
    s->ProgramEnd = static_cast<uint16_t>(end - 1);
    s->ResidentStart = static_cast<uint16_t>(end);
    s->ResidentEnd = static_cast<uint16_t>(end - 1);  // no second range
    tarlek::Console console(scratch.console_fd(), false);
    if (!tarlek::WriteHexFile(*s, console, "full.hex")) std::abort();
    const auto program = s->Image;

    g_resident[0] = kResidentLength & 0xFF;
    g_resident[1] = kResidentLength >> 8;
    for (uint32_t k = 0; k < kResidentLength; ++k) {
      g_resident[2 + k] = random() % 4 == 0;
      g_resident[2 + kResidentLength + k] = static_cast<uint8_t>(random());
    }

    s->ClearImage();
    if (!tarlek::ReadHexFile(*s, console, "full.hex") || s->Image != program ||
        !tarlek::PlaceResidentImage(*s, console, g_resident))
      std::abort();
    return s;
  }();
  return *state;
}

void ReadHexFile(benchmark::State& bench) {
  const ProgramState& full = FullState();
  tarlek::Console console(TheScratch().console_fd(), false);
  static ProgramState state;
  for (auto _ : bench) {
    if (!tarlek::ReadHexFile(state, console, "full.hex")) bench.SkipWithError("read failed");
    benchmark::DoNotOptimize(state.Image.data());
  }
  if (state.ProgramEnd != full.ProgramEnd) bench.SkipWithError("wrong program end");
  bench.SetBytesProcessed(bench.iterations() * FileSize("full.hex"));
}
BENCHMARK(ReadHexFile);

void WriteHexFile(benchmark::State& bench) {
  const ProgramState& full = FullState();
  tarlek::Console console(TheScratch().console_fd(), false);
  for (auto _ : bench) {
    if (!tarlek::WriteHexFile(full, console, "out.hex")) bench.SkipWithError("write failed");
  }
  bench.SetBytesProcessed(bench.iterations() * FileSize("out.hex"));
}
BENCHMARK(WriteHexFile);

void ReadBinFile(benchmark::State& bench) {
  FullState();
  tarlek::Console console(TheScratch().console_fd(), false);
  static ProgramState state;
  for (auto _ : bench) {
    if (!tarlek::ReadBinFile(state, console, "full.bin")) bench.SkipWithError("read failed");
    benchmark::DoNotOptimize(state.Image.data());
  }
  bench.SetBytesProcessed(bench.iterations() * FileSize("full.bin"));
}
BENCHMARK(ReadBinFile);

void PlaceResident(benchmark::State& bench) {
  const ProgramState& full = FullState();
  tarlek::Console console(TheScratch().console_fd(), false);
  static ProgramState state;
  state = full;
  for (auto _ : bench) {
    if (!tarlek::PlaceResidentImage(state, console, g_resident))
      bench.SkipWithError("placement failed");
    benchmark::DoNotOptimize(state.Image.data());
  }
  bench.SetBytesProcessed(bench.iterations() * static_cast<int64_t>(sizeof g_resident));
}
BENCHMARK(PlaceResident);

}  // namespace
