// The simulator's FIFO pair as a port: one client at a time, as on a serial
// device, and a client after the first gets the line again.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "base/failure.h"
#include "mon/line/port.h"
#include "support/test_support.h"

namespace tarlek::mon {
namespace {

using testing::TempDir;

// The simulator's ends of the pair: it reads rx and writes tx.
struct Simulator {
  explicit Simulator(const TempDir& dir) : rx(dir / "s51.rx"), tx(dir / "s51.tx") {
    EXPECT_EQ(::mkfifo(rx.c_str(), 0600), 0);
    EXPECT_EQ(::mkfifo(tx.c_str(), 0600), 0);
    in = ::open(rx.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // Read and write, so that it opens before any client reads.
    out = ::open(tx.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  }
  ~Simulator() {
    ::close(in);
    ::close(out);
  }
  std::string Spec() const { return "fifo:" + rx + "," + tx; }
  std::string rx, tx;
  int in = -1, out = -1;
};

std::string OpenFailure(const std::string& spec) {
  try {
    Port port = Port::Open(spec, 9600);
  } catch (const Failure& failure) {
    return failure.what();
  }
  return "";
}

TEST(FifoPort, ASecondClientIsToldThePairIsBusy) {
  TempDir dir;
  Simulator sim(dir);
  {
    Port first = Port::Open(sim.Spec(), 9600);
    EXPECT_EQ(OpenFailure(sim.Spec()),
              sim.Spec() + " is busy: another tarlek-mon uses this pair of FIFOs");
    // The first client's line works meanwhile, both ways.
    const uint8_t request[] = {0xA5, 0x01, 0x00, 0xFF};
    first.Write(request, Clock::now() + std::chrono::seconds(5));
    uint8_t got[4] = {};
    EXPECT_EQ(::read(sim.in, got, sizeof got), 4);
    EXPECT_EQ(::write(sim.out, "ok", 2), 2);
    uint8_t answer[2] = {};
    EXPECT_EQ(first.Read(answer, Clock::now() + std::chrono::seconds(5)), 2u);
  }
  // Clients one after another each get the line.
  for (int run = 0; run < 3; ++run) EXPECT_EQ(OpenFailure(sim.Spec()), "") << run;
}

TEST(FifoPort, NoReaderNamesTheSimulatorAndTheHolder) {
  TempDir dir;
  const std::string rx = dir / "rx", tx = dir / "tx";
  ASSERT_EQ(::mkfifo(rx.c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(tx.c_str(), 0600), 0);
  const std::string message = OpenFailure("fifo:" + rx + "," + tx);
  EXPECT_NE(message.find("nothing reads the FIFO " + rx), std::string::npos) << message;
  EXPECT_NE(message.find("tarlek-sim"), std::string::npos) << message;
}

}  // namespace
}  // namespace tarlek::mon
