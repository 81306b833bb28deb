// The serial line to the resident: a serial device driven raw through
// termios, or the simulator's pair of FIFOs (fifo:RX,TX), or, for tests, any
// pair of file descriptors. Every wait has a deadline and wakes on Ctrl-C.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/clock.h"

namespace tarlek::mon {

// Ctrl-C (SIGINT), SIGTERM and SIGHUP end every wait with a Failure of status
// kExitInterrupted. Install once at start-up; the signals are then blocked
// outside the waits, so none is lost between a check and a wait.
void InstallInterruptHandlers();
bool Interrupted();

// While alive: SIGINT, SIGTERM and SIGHUP take their default action and are
// not blocked, so that a blocking read of a file (a map or image file that is
// a FIFO, a slow network mount) still ends the run at Ctrl-C, with status 130
// as a shell reports it. For reads with nothing to clean up should the
// process end there. Does nothing before InstallInterruptHandlers.
class DefaultStopSignals {
 public:
  DefaultStopSignals();
  ~DefaultStopSignals();
  DefaultStopSignals(const DefaultStopSignals&) = delete;
  DefaultStopSignals& operator=(const DefaultStopSignals&) = delete;

 private:
  bool active_ = false;
};

// The lowest and highest --baud taken: any whole rate the resident can be
// built for. On a FIFO the rate only sets time-outs; a serial device takes a
// rate outside the termios table through termios2, or refuses it in one line.
constexpr uint32_t kLowestBaud = 50;
constexpr uint32_t kHighestBaud = 4000000;

// Turns a --baud value into the termios speed constant; 0 when there is none.
unsigned BaudConstant(uint32_t baud);

class Port {
 public:
  enum class Kind { kSerial, kFifo, kDescriptors };

  // "fifo:RX,TX" or a device path. Throws a Failure with one line that names
  // the port and what to do (missing device, busy, permissions).
  static Port Open(const std::string& spec, uint32_t baud);
  // Takes ownership of the descriptors (which may be the same one).
  static Port FromDescriptors(int read_fd, int write_fd, std::string name);

  Port(Port&& other) noexcept;
  Port& operator=(Port&&) = delete;
  ~Port();

  const std::string& name() const { return name_; }
  Kind kind() const { return kind_; }

  // Waits until bytes arrive or deadline passes; returns how many were read
  // (0 at the deadline). Throws a Failure when the port goes away.
  size_t Read(std::span<uint8_t> buffer, Clock::time_point deadline);
  // Sends all of data, in one write where the port takes it, before deadline.
  void Write(std::span<const uint8_t> data, Clock::time_point deadline);
  // Drops bytes that are already waiting (stale output from before the run).
  size_t DiscardWaiting();

 private:
  Port(Kind kind, int read_fd, int write_fd, std::string name);
  // Waits for events on fd until deadline: true when they came.
  bool Wait(int fd, short events, Clock::time_point deadline, short& revents);
  [[noreturn]] void Vanished(const std::string& why);

  Kind kind_;
  int read_fd_;
  int write_fd_;
  std::string name_;
};

}  // namespace tarlek::mon
