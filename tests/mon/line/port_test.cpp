// The port. A serial device: the real executable on a pseudo-terminal that
// the test opens, driven as a serial adapter (raw 8N1 at the asked speed,
// exclusive use, a read that identifies the resident first, while a second
// client finds it busy), ended by Ctrl-C, and its errors in one line. The
// simulator's FIFO pair: one client at a time, as on a serial device, and a
// client after the first gets the line again.
#include "mon/line/port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <memory>

#include "base/clock.h"
#include "base/failure.h"
#include "mon/support/fake_line.h"
#include "mon/support/fake_resident.h"
#include "mon/support/mon_process.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

using mon::Port;

struct Probe {
  bool taken = false;
  int exclusive = -1;
  bool lock_refused = false;
  termios settings{};
  RunResult second;
};

TEST(SerialSmoke, RealClientOnAPseudoTerminal) {
  TempDir dir;
  FakeLine line({.transport = Transport::kPseudoTerminal, .open_port = false});
  FakeResident& resident = *line.resident;
  const std::string& name = line.name;
  resident.iram[0x40] = 0x5A;
  resident.iram[0x41] = 0xA5;
  Probe probe;
  // While the client holds the port (between its identify and its read; the
  // read's answer waits for the probe, and the client with it: its slack is
  // patient).
  resident.OnAnswered([&](uint8_t command) {
    if (command != protocol::kIdentify || probe.taken) return;
    probe.taken = true;
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    ::ioctl(fd, TIOCGEXCL, &probe.exclusive);
    probe.lock_refused = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::tcgetattr(fd, &probe.settings);
    ::close(fd);
    probe.second = RunMon(dir.path(), {"-p", name, "identify"});
  });
  resident.Start();
  const RunResult run = RunMon(dir.path(), {"-p", name, "-b", "115200", "--slack", "30",
                                            "--retries", "5", "read", "iram", "40", "2"});
  resident.Stop();

  EXPECT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_EQ(run.output, "40  5a a5                                             |Z.|\n");
  ASSERT_TRUE(probe.taken);
  EXPECT_EQ(probe.exclusive, 1) << "TIOCEXCL not set";
  EXPECT_TRUE(probe.lock_refused) << "no advisory lock held";
  const termios& t = probe.settings;
  EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(::cfgetispeed(&t), static_cast<speed_t>(B115200));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_NE(t.c_cflag & CREAD, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | INLCR | IGNCR), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  // The second client gave up at once, in one line.
  EXPECT_EQ(probe.second.exit_status, 1);
  EXPECT_EQ(probe.second.errors,
            std::string("tarlek-mon: ") + name + " is busy: another program holds its lock\n");
}

// Output that nobody can read is a failure, in one line: standard output
// closed (the port the client opens must not take its place and get the
// text) or a pipe whose reader has gone.
TEST(SerialSmoke, AStandardOutputThatCannotBeWrittenFails) {
  enum class Output { kClosed, kNoReader };
  for (const Output output : {Output::kClosed, Output::kNoReader}) {
    SCOPED_TRACE(output == Output::kClosed ? "closed" : "no reader");
    TempDir dir;
    FakeLine fake({.transport = Transport::kPseudoTerminal, .open_port = false});
    FakeResident& resident = *fake.resident;
    const std::string& name = fake.name;
    resident.iram[0x40] = 0x5A;
    resident.iram[0x41] = 0xA5;
    ProcessOptions options = MonProcess();
    options.close_output = output == Output::kClosed;
    StartedProcess started = StartTarlekProcess(
        dir.path(), {"-p", name, "-b", "115200", "read", "iram", "40", "2"}, options);
    if (output == Output::kNoReader) {
      // Gone before the client has anything to write; what is left to
      // read is an empty pipe.
      ::close(started.out_fd);
      int empty[2];
      ASSERT_EQ(::pipe2(empty, O_CLOEXEC), 0);
      ::close(empty[1]);
      started.out_fd = empty[0];
    }
    resident.Start();
    const RunResult run = FinishTarlekProcess(started);
    resident.Stop();
    EXPECT_EQ(run.exit_status, 1) << run.errors;
    EXPECT_EQ(run.errors, std::string("tarlek-mon: cannot write standard output: ") +
                              std::strerror(output == Output::kClosed ? EBADF : EPIPE) + "\n");
    const Bytes line = resident.received();
    const std::string text = "5a a5";
    EXPECT_EQ(std::search(line.begin(), line.end(), text.begin(), text.end()), line.end())
        << "the output went to the port";
  }
}

// Starts the client, sends it SIGINT once the resident has taken n more
// requests (the client is then waiting on the line), and returns how it
// ended.
RunResult InterruptedRun(const std::vector<std::string>& args, FakeResident& resident, size_t n) {
  TempDir dir;
  const size_t before = resident.requests();
  const StartedProcess started = StartTarlekProcess(dir.path(), args, MonProcess());
  EXPECT_TRUE(resident.WaitForRequests(before + n)) << "the client sent no request";
  ::kill(started.pid, SIGINT);
  return FinishTarlekProcess(started);
}

TEST(SerialSmoke, CtrlCEndsAWaitInOneLine) {
  FakeLine line({.transport = Transport::kPseudoTerminal, .baud = 9600, .open_port = false});
  FakeResident& resident = *line.resident;
  const std::string& name = line.name;
  resident.Start();
  // A resident that has stopped answering, and a client with many retries:
  // interrupted while it waits for the first answer.
  resident.AlwaysFault(Fault::kSilent);
  const RunResult waiting =
      InterruptedRun({"-p", name, "--retries", "20", "identify"}, resident, 1);
  EXPECT_EQ(waiting.exit_status, 130);
  EXPECT_EQ(waiting.errors, "tarlek-mon: interrupted\n");
  // Ctrl-C is how watch ends: status 0. Interrupted after its identify and
  // two reads.
  resident.AlwaysFault(Fault::kNone);
  const RunResult watching =
      InterruptedRun({"-p", name, "watch", "--interval", "0.05", "iram", "41", "1"}, resident, 3);
  EXPECT_EQ(watching.exit_status, 0) << watching.errors;
}

// Ctrl-C ends a run that waits for its map or verify file (a FIFO that no
// one writes), as a shell's SIGINT ends a program: nothing is left running.
TEST(SerialSmoke, CtrlCEndsAWaitForAFile) {
  const struct {
    const char* name;
    std::vector<std::string> args;  // the FIFO's path is appended
  } cases[] = {
      {"map", {"-p", "fifo:rx,tx", "read", "iram", "0", "-m"}},
      {"verify", {"-p", "fifo:rx,tx", "verify"}},
  };
  for (const auto& c : cases) {
    TempDir dir;
    const std::string fifo = dir / "file.hex";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::vector<std::string> args = c.args;
    args.push_back(fifo);
    const StartedProcess started = StartTarlekProcess(dir.path(), args, MonProcess());
    // The client has the FIFO open once a writer may open it without waiting.
    int writer = -1;
    for (int tries = 0; writer < 0 && tries < 2000; ++tries) {
      writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (writer < 0) ::usleep(5000);
    }
    EXPECT_GE(writer, 0) << c.name << ": the client never opened the file";
    ::kill(started.pid, SIGINT);
    // It ends at once; a client that ignores the signal is stopped after 20 s.
    bool ended = false;
    for (int tries = 0; !ended && tries < 2000; ++tries) {
      siginfo_t info{};
      ended = ::waitid(P_PID, static_cast<id_t>(started.pid), &info, WEXITED | WNOHANG | WNOWAIT) ==
                  0 &&
              info.si_pid == started.pid;
      if (!ended) ::usleep(10000);
    }
    if (!ended) ::kill(started.pid, SIGKILL);
    const RunResult run = FinishTarlekProcess(started);
    if (writer >= 0) ::close(writer);
    EXPECT_TRUE(ended) << c.name << ": Ctrl-C did not end the run";
    EXPECT_TRUE(run.signal == SIGINT || run.exit_status == 130)
        << c.name << ": status " << run.exit_status << ", signal " << run.signal << run.errors;
  }
}

TEST(SerialSmoke, PortErrorsInOneLine) {
  TempDir dir;
  const RunResult missing = RunMon(dir.path(), {"-p", dir / "ttyUSB7", "identify"});
  EXPECT_EQ(missing.exit_status, 1);
  EXPECT_EQ(missing.errors,
            "tarlek-mon: no such device: " + (dir / "ttyUSB7") + " (is the adapter plugged in?)\n");
  // A device the user may not open: a FIFO without read permission, opened
  // by the unprivileged user nobody.
  const std::string fifo = dir / "ttyS9";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const NobodyRun nobody = RunAsNobody([&] {
    return RunMon("/", {"-p", fifo, "identify"}).errors;
  });
  if (!nobody.switched) GTEST_SKIP() << "cannot switch to an unprivileged user";
  EXPECT_EQ(nobody.report, "tarlek-mon: no permission to open " + fifo +
                               ": add your user to the dialout group (sudo usermod -aG dialout "
                               "$USER) and log in again\n");
}

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
}  // namespace tarlek::testing
