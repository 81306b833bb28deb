// The real executable on a pseudo-terminal that the test opens, driven as a
// serial adapter: raw 8N1 at the asked speed, exclusive use, and a read that
// identifies the resident first. A second client meanwhile finds it busy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>

#include "mon/fake_resident.h"
#include "mon/line/serial_speed.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

ProcessOptions MonProcess() {
  ProcessOptions options;
  options.exe = TARLEK_MON_EXE;
  return options;
}

RunResult RunMon(const std::string& cwd, const std::vector<std::string>& args) {
  return RunTarlekProcess(cwd, args, MonProcess());
}

struct Probe {
  bool taken = false;
  int exclusive = -1;
  bool lock_refused = false;
  termios settings{};
  RunResult second;
};

TEST(SerialSmoke, RealClientOnAPseudoTerminal) {
  TempDir dir;
  int master = -1, slave = -1;
  char name[64];
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  FakeResident resident(master, 255, 115200);
  resident.iram[0x40] = 0x5A;
  resident.iram[0x41] = 0xA5;
  Probe probe;
  // While the client holds the port (between its identify and its read).
  resident.OnAnswered([&](uint8_t command) {
    if (command != protocol::kIdentify || probe.taken) return;
    probe.taken = true;
    const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    ::ioctl(fd, TIOCGEXCL, &probe.exclusive);
    probe.lock_refused = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::tcgetattr(fd, &probe.settings);
    ::close(fd);
    probe.second = RunMon(dir.path(), {"-p", name, "identify"});
  });
  resident.Start();
  const RunResult run =
      RunMon(dir.path(), {"-p", name, "-b", "115200", "--retries", "5", "read", "iram", "40", "2"});
  resident.Stop();
  ::close(slave);

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
  int master = -1, slave = -1;
  char name[64];
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  FakeResident resident(master, 255, 9600);
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
  resident.Stop();
  ::close(slave);
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

// A rate outside the termios table (MIDI's 31250, a crystal's 28800) is set
// on a serial device through termios2.
TEST(SerialSmoke, RateOutsideTheTermiosTable) {
  TempDir dir;
  int master = -1, slave = -1;
  char name[64];
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  FakeResident resident(master, 255, 31250);
  uint32_t speed = 0;
  resident.OnAnswered([&](uint8_t command) {
    if (command == protocol::kIdentify) speed = mon::ReadAnySpeed(slave);
  });
  resident.Start();
  const RunResult run = RunMon(dir.path(), {"-p", name, "-b", "31250", "identify"});
  resident.Stop();
  ::close(slave);
  EXPECT_EQ(run.exit_status, 0) << run.errors;
  EXPECT_NE(run.output.find("baud       31250"), std::string::npos) << run.output;
  EXPECT_EQ(speed, 31250u);
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

}  // namespace
}  // namespace tarlek::testing
