#include "mon/line/port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include "base/failure.h"
#include "base/stop_signals.h"
#include "mon/line/serial_speed.h"

namespace tarlek::mon {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;
bool g_handlers_installed = false;
sigset_t g_wait_mask;

void OnSignal(int) { g_interrupted = 1; }

std::string Errno() { return std::strerror(errno); }

struct BaudEntry {
  uint32_t baud;
  speed_t constant;
};
constexpr BaudEntry kBauds[] = {
    {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800},
    {500000, B500000}, {576000, B576000}, {921600, B921600}, {1000000, B1000000},
};

Failure PortError(const std::string& message) { return Failure(kExitFailure, message); }

int OpenSerial(const std::string& path, uint32_t baud) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    switch (errno) {
      case ENOENT:
      case ENODEV:
      case ENXIO:
        throw PortError("no such device: " + path + " (is the adapter plugged in?)");
      case EACCES:
      case EPERM:
        throw PortError("no permission to open " + path +
                        ": add your user to the dialout group (sudo usermod -aG dialout $USER) "
                        "and log in again");
      case EBUSY:
        throw PortError(path + " is busy: another program has it open");
      default:
        throw PortError("cannot open " + path + ": " + Errno());
    }
  }
  auto fail = [fd](const std::string& message) {
    ::close(fd);
    return PortError(message);
  };
  if (!::isatty(fd)) {
    throw fail(path + " is not a serial device (the simulator's FIFOs are --port fifo:RX,TX)");
  }
  // Others may not open it while we have it, and a program that honours the
  // advisory lock (as serial tools do) keeps off too.
  if (::ioctl(fd, TIOCEXCL) != 0)
    throw fail("cannot get " + path + " for exclusive use: " + Errno());
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    throw fail(errno == EWOULDBLOCK ? path + " is busy: another program holds its lock"
                                    : "cannot lock " + path + ": " + Errno());
  }
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0)
    throw fail("cannot read the settings of " + path + ": " + Errno());
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~tcflag_t{CSIZE | PARENB | CSTOPB | CRTSCTS};
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~tcflag_t{IXON | IXOFF | IXANY};
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  // A rate of the termios table as such; any other through termios2.
  const speed_t speed = BaudConstant(baud);
  if (speed != 0) {
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
  }
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    throw fail("cannot set " + path + " to " + std::to_string(baud) + " baud 8N1: " + Errno());
  }
  if (speed == 0 && !SetAnySpeed(fd, baud)) {
    throw fail(path + " does not take " + std::to_string(baud) +
               " baud: its driver refuses rates outside the standard ones (" + Errno() +
               "); build the resident for a standard rate");
  }
  termios check{};
  const bool taken = speed != 0 ? ::tcgetattr(fd, &check) == 0 && ::cfgetospeed(&check) == speed
                                : ReadAnySpeed(fd) == baud;
  if (!taken) {
    throw fail(path + " does not take " + std::to_string(baud) +
               " baud: its driver set another rate; build the resident for a standard rate");
  }
  ::tcflush(fd, TCIOFLUSH);
  return fd;
}

bool IsFifo(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

}  // namespace

void InstallInterruptHandlers() {
  SetStopSignalHandler(OnSignal);
  const sigset_t blocked = StopSignalSet();
  ::sigprocmask(SIG_BLOCK, &blocked, &g_wait_mask);
  for (const int sig : kStopSignals) sigdelset(&g_wait_mask, sig);
  g_handlers_installed = true;
}

bool Interrupted() {
  if (g_handlers_installed) {
    // A signal that came while blocked is taken now.
    sigset_t pending;
    sigpending(&pending);
    if (HoldsStopSignal(pending)) ::sigsuspend(&g_wait_mask);
  }
  return g_interrupted != 0;
}

DefaultStopSignals::DefaultStopSignals() : active_(g_handlers_installed) {
  if (!active_) return;
  SetStopSignalHandler(SIG_DFL);
  // A signal that came while blocked ends the process here.
  const sigset_t stop = StopSignalSet();
  ::sigprocmask(SIG_UNBLOCK, &stop, nullptr);
}

DefaultStopSignals::~DefaultStopSignals() {
  if (!active_) return;
  const sigset_t stop = StopSignalSet();
  ::sigprocmask(SIG_BLOCK, &stop, nullptr);
  SetStopSignalHandler(OnSignal);
}

unsigned BaudConstant(uint32_t baud) {
  for (const auto& entry : kBauds) {
    if (entry.baud == baud) return entry.constant;
  }
  return 0;
}

Port::Port(Kind kind, int read_fd, int write_fd, std::string name)
    : kind_(kind), read_fd_(read_fd), write_fd_(write_fd), name_(std::move(name)) {
  // A peer that goes away shows as EPIPE from write, not as a signal.
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
}

Port::Port(Port&& other) noexcept
    : kind_(other.kind_),
      read_fd_(other.read_fd_),
      write_fd_(other.write_fd_),
      name_(std::move(other.name_)) {
  other.read_fd_ = other.write_fd_ = -1;
}

Port::~Port() {
  if (kind_ == Kind::kSerial && read_fd_ >= 0) ::ioctl(read_fd_, TIOCNXCL);
  if (read_fd_ >= 0) ::close(read_fd_);
  if (write_fd_ >= 0 && write_fd_ != read_fd_) ::close(write_fd_);
}

Port Port::FromDescriptors(int read_fd, int write_fd, std::string name) {
  for (int fd : {read_fd, write_fd}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return Port(Kind::kDescriptors, read_fd, write_fd, std::move(name));
}

Port Port::Open(const std::string& spec, uint32_t baud) {
  if (!spec.starts_with("fifo:")) {
    const int fd = OpenSerial(spec, baud);
    return Port(Kind::kSerial, fd, fd, spec);
  }
  const std::string pair = spec.substr(5);
  const size_t comma = pair.find(',');
  if (comma == std::string::npos || comma == 0 || comma + 1 == pair.size()) {
    throw UsageError("--port fifo: wants two FIFOs, fifo:RX,TX (RX: what the simulator reads)");
  }
  const std::string rx = pair.substr(0, comma), tx = pair.substr(comma + 1);
  // The simulator's output first, without waiting for a writer; then its
  // input, which opens once the simulator reads it.
  const int read_fd = ::open(tx.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (read_fd < 0) throw PortError("cannot open the FIFO " + tx + ": " + Errno());
  if (!IsFifo(read_fd)) {
    ::close(read_fd);
    throw PortError(tx + " is not a FIFO");
  }
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  int write_fd = -1;
  while (write_fd < 0) {
    write_fd = ::open(rx.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (write_fd >= 0) break;
    const int error = errno;
    if (error != ENXIO || Clock::now() > deadline || Interrupted()) {
      ::close(read_fd);
      if (g_interrupted) throw Failure(kExitInterrupted, "interrupted");
      // s51 stops reading its serial input for good once the last writer
      // closes it: something must hold the FIFOs open for its whole life.
      throw PortError(error == ENXIO
                          ? "nothing reads the FIFO " + rx +
                                ": is the simulator running? (s51 stops reading its serial "
                                "input when the last program that wrote to it closes it: run "
                                "the program with tarlek-sim, which holds the FIFOs open)"
                          : "cannot open the FIFO " + rx + ": " + std::strerror(error));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  auto fail = [&](const std::string& message) {
    ::close(read_fd);
    ::close(write_fd);
    return PortError(message);
  };
  if (!IsFifo(write_fd)) throw fail(rx + " is not a FIFO");
  // One client at a time, as on a serial device: the lock on the input FIFO.
  // tarlek-sim takes it shared for a moment now and then to drop what the
  // program printed while no client listened, so a busy lock is tried again
  // for a short while before it counts.
  const auto lock_deadline = Clock::now() + std::chrono::seconds(1);
  while (::flock(write_fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) throw fail("cannot lock the FIFO " + rx + ": " + Errno());
    if (Clock::now() > lock_deadline) {
      throw fail(spec + " is busy: another tarlek-mon uses this pair of FIFOs");
    }
    if (Interrupted()) {
      static_cast<void>(fail(""));
      throw Failure(kExitInterrupted, "interrupted");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return Port(Kind::kFifo, read_fd, write_fd, spec);
}

bool Port::Wait(int fd, short events, Clock::time_point deadline, short& revents) {
  for (;;) {
    if (Interrupted()) throw Failure(kExitInterrupted, "interrupted");
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec ts{};
    ts.tv_sec = ns / 1000000000;
    ts.tv_nsec = ns % 1000000000;
    pollfd pfd{fd, events, 0};
    const int n = ::ppoll(&pfd, 1, &ts, g_handlers_installed ? &g_wait_mask : nullptr);
    if (n < 0) {
      if (errno == EINTR) continue;
      Vanished(Errno());
    }
    if (n == 0) continue;
    revents = pfd.revents;
    return true;
  }
}

void Port::Vanished(const std::string& why) {
  throw Failure(kExitFailure, kind_ == Kind::kFifo
                                  ? "the simulator closed " + name_ + " (" + why + ")"
                                  : name_ + " went away (" + why + "): was the adapter unplugged?");
}

size_t Port::Read(std::span<uint8_t> buffer, Clock::time_point deadline) {
  for (;;) {
    short revents = 0;
    if (!Wait(read_fd_, POLLIN, deadline, revents)) return 0;
    if (revents & POLLNVAL) Vanished("not open");
    const ssize_t n = ::read(read_fd_, buffer.data(), buffer.size());
    if (n > 0) return static_cast<size_t>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) Vanished(Errno());
    // End of file: the other side closed. A FIFO reads as empty, without a
    // hang-up, while its writer has not opened it yet.
    if (kind_ == Kind::kFifo && !(revents & POLLHUP)) {
      short ignored = 0;
      Wait(read_fd_, 0, std::min(deadline, Clock::now() + std::chrono::milliseconds(5)), ignored);
      continue;
    }
    Vanished("end of file");
  }
}

void Port::Write(std::span<const uint8_t> data, Clock::time_point deadline) {
  while (!data.empty()) {
    const ssize_t n = ::write(write_fd_, data.data(), data.size());
    if (n > 0) {
      data = data.subspan(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) Vanished(Errno());
    short revents = 0;
    if (!Wait(write_fd_, POLLOUT, deadline, revents)) {
      throw Failure(kExitFailure, "cannot send on " + name_ + ": the line does not take bytes");
    }
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) Vanished("hang-up");
  }
}

size_t Port::DiscardWaiting() {
  size_t dropped = 0;
  uint8_t buffer[4096];
  for (;;) {
    const ssize_t n = ::read(read_fd_, buffer, sizeof buffer);
    if (n <= 0) return dropped;
    dropped += static_cast<size_t>(n);
  }
}

}  // namespace tarlek::mon
