#include "sim/simulator.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "base/address_space.h"
#include "base/clock.h"
#include "base/failure.h"
#include "base/image_file.h"
#include "base/stop_signals.h"
#include "base/write_fully.h"
#include "sim/resident_probe.h"

extern char** environ;

namespace tarlek::sim {
namespace {

using namespace std::chrono_literals;

// One line for the user; the run ends with status 1.
struct SimError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string Errno() { return std::strerror(errno); }

// The private directory and what is made in it, removed at the end whatever
// happens.
class WorkDir {
 public:
  WorkDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    // The port names both FIFOs separated by a comma.
    if (base.find(',') != std::string::npos) {
      throw SimError("TMPDIR (" + base + ") holds a comma, which a fifo: port cannot carry");
    }
    std::string pattern = base + "/tarlek-sim-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw SimError("cannot make a directory in " + base + ": " + Errno());
    }
    path_ = pattern;
  }
  ~WorkDir() {
    for (const auto& name : made_) ::unlink(name.c_str());
    ::rmdir(path_.c_str());
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;

  // A name in the directory, removed at the end.
  std::string Name(const std::string& name) {
    made_.push_back(path_ + "/" + name);
    return made_.back();
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::string> made_;
};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

void WriteText(const std::string& path, const std::string& text) {
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.get() < 0) throw SimError("cannot write " + path + ": " + Errno());
  if (!WriteFully(fd.get(), text)) throw SimError("cannot write " + path + ": " + Errno());
}

std::string ReadTail(const std::string& path, size_t lines) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return "";
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(fd.get(), buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > 65536) text.erase(0, text.size() - 65536);
  }
  // s51 may end without a word.
  if (text.empty()) return text;
  size_t at = text.size();
  if (text[at - 1] == '\n') --at;
  for (size_t k = 0; k < lines && at != std::string::npos && at > 0; ++k) {
    at = text.rfind('\n', at - 1);
  }
  return at == std::string::npos ? text : text.substr(at + 1);
}

// s51 as a child in a process group of its own, so that the terminal's
// Ctrl-C reaches tarlek-sim only, which then stops s51 by its process id.
// Should tarlek-sim end without stopping it (SIGKILL, say), the kernel kills
// s51 too: a simulator left behind would run on at full speed.
pid_t SpawnS51(const std::vector<std::string>& args, int console_fd, int log_fd) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // The child's errno when exec fails; closed unwritten when it succeeds.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) throw SimError("cannot make a pipe: " + Errno());
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    ::close(report[0]);
    ::close(report[1]);
    throw SimError("cannot start " + args[0] + ": " + std::strerror(error));
  }
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(console_fd, STDIN_FILENO);
    ::dup2(log_fd, STDOUT_FILENO);
    ::dup2(log_fd, STDERR_FILENO);
    SetStopSignalHandler(SIG_DFL, {SIGCHLD, SIGPIPE});
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv.data(), environ);
    const int error = errno;
    static_cast<void>(::write(report[1], &error, sizeof error));
    ::_exit(127);
  }
  ::close(report[1]);
  int error = 0;
  ssize_t n = 0;
  while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (n > 0) {
    ::waitpid(pid, nullptr, 0);
    throw SimError("cannot start " + args[0] + ": " + std::strerror(error));
  }
  return pid;
}

// The running simulator; stopped by its own process id when the run ends.
class S51Process {
 public:
  explicit S51Process(pid_t pid) : pid_(pid) {}
  ~S51Process() { Stop(); }
  S51Process(const S51Process&) = delete;
  S51Process& operator=(const S51Process&) = delete;

  pid_t pid() const { return pid_; }
  // Whether it has ended; its wait status in status.
  bool Ended(int& status) {
    if (ended_) {
      status = status_;
      return true;
    }
    if (::waitpid(pid_, &status_, WNOHANG) == pid_) ended_ = true;
    status = status_;
    return ended_;
  }
  void Stop() {
    int status = 0;
    if (Ended(status)) return;
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + 5s;
    while (!Ended(status) && Clock::now() < deadline) ::usleep(10000);
    if (!Ended(status)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
      ended_ = true;
    }
  }

 private:
  pid_t pid_;
  bool ended_ = false;
  int status_ = 0;
};

std::string EndedHow(int status) {
  if (WIFEXITED(status)) return fmt::format("with status {}", WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return fmt::format("by signal {}", WTERMSIG(status));
  return "";
}

std::vector<uint8_t> CodeImage(const std::vector<Segment>& segments) {
  std::vector<uint8_t> code(kAddressSpaceSize, 0);
  for (const auto& s : segments) {
    for (size_t i = 0; i < s.data.size() && s.address + i < code.size(); ++i) {
      code[s.address + i] = s.data[i];
    }
  }
  return code;
}

// The signals that end the run, and the end of s51, blocked and taken as
// events on one descriptor; the caller's signal mask again when the run
// ends, however it ends. One that came while the run was ending (a second
// Ctrl-C) is dropped: the run ends anyway.
class SignalEvents {
 public:
  SignalEvents() {
    const sigset_t mask = StopSignalSet({SIGCHLD});
    ::sigprocmask(SIG_BLOCK, &mask, &old_mask_);
    fd_.Reset(::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
    if (fd_.get() < 0) {
      const std::string why = Errno();
      ::sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
      throw SimError("cannot wait for signals: " + why);
    }
  }
  ~SignalEvents() {
    signalfd_siginfo info{};
    while (::read(fd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    fd_.Reset();
    ::sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  SignalEvents(const SignalEvents&) = delete;
  SignalEvents& operator=(const SignalEvents&) = delete;

  int get() const { return fd_.get(); }

 private:
  sigset_t old_mask_{};
  Fd fd_;
};

// What came on the descriptor: 0 for nothing, SIGCHLD, or a signal that
// ends the run.
int TakeSignal(int fd) {
  signalfd_siginfo info{};
  int ending = 0;
  while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGCHLD) {
      if (ending == 0) ending = SIGCHLD;
    } else {
      ending = static_cast<int>(info.ssi_signo);
    }
  }
  return ending;
}

}  // namespace

std::string FindOnPath(const std::string& name, const char* path) {
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : "";
  std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
  while (true) {
    const size_t colon = dirs.find(':');
    // An empty entry is the current directory.
    const std::string_view dir = dirs.substr(0, colon);
    std::string candidate(dir.empty() ? std::string_view(".") : dir);
    candidate += '/';
    candidate += name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (colon == std::string_view::npos) return "";
    dirs.remove_prefix(colon + 1);
  }
}

std::string ShellWord(const std::string& text) {
  const bool plain = !text.empty() && text.find_first_not_of(
                                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                          "0123456789_-+=/.,:@%") == std::string::npos;
  if (plain) return text;
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

int RunSimulator(const SimOptions& options, SimIo& io) {
  try {
    const std::string s51 =
        FindOnPath(options.s51.empty() ? "s51" : options.s51, std::getenv("PATH"));
    if (s51.empty()) {
      throw SimError(options.s51.empty()
                         ? "s51, the 8051 simulator, is not installed: sudo apt install sdcc-ucsim"
                         : options.s51 + " is not an executable program");
    }
    std::vector<Segment> segments;
    try {
      segments = ReadImageFile(options.program);
    } catch (const Failure& failure) {
      throw SimError(failure.what());
    }
    std::string why;
    const auto build = ProbeResident(CodeImage(segments), &why);
    if (!build && (options.cpu.empty() || options.clock_hz == 0)) {
      throw SimError(options.program + ": " + why);
    }
    std::string cpu = options.cpu;
    if (cpu.empty()) {
      if (build->timer == 0) {
        throw SimError(options.program +
                       ": the resident's init sets up neither timer 1 nor timer 2 as tarlek-sim "
                       "knows them: give --cpu (8051 for timer 1, 8052 for timer 2)");
      }
      cpu = CpuForTimer(build->timer);
    }
    const uint32_t clock = options.clock_hz != 0 ? options.clock_hz : build->clock_hz;

    // From here on Ctrl-C is an event of the run, which then removes what
    // it made; the mask comes back after that.
    const SignalEvents signals;
    WorkDir dir;
    // s51 loads Intel HEX; a .bin program is handed over as such.
    const std::string program = dir.Name("program.hex");
    WriteText(program, FormatIntelHex(segments));
    const std::string cfg = dir.Name("s51.cfg");
    // Without it s51 takes serial input only now and then, and the resident
    // sees its requests torn apart.
    WriteText(cfg, "uart0_check_often=1\n");
    const std::string rx = dir.Name("rx"), tx = dir.Name("tx");
    for (const auto& fifo : {rx, tx}) {
      if (::mkfifo(fifo.c_str(), 0600) != 0) throw SimError("cannot make " + fifo + ": " + Errno());
    }
    const std::string log_path = dir.Name("s51.log");
    Fd log(::open(log_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (log.get() < 0) throw SimError("cannot write " + log_path + ": " + Errno());
    // The simulator's output, held open for reading so that its open for
    // writing goes through and it never sees its line closed.
    Fd tx_hold(::open(tx.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (tx_hold.get() < 0) throw SimError("cannot open " + tx + ": " + Errno());
    // s51's command console: a pipe that stays open and silent (on end of
    // input s51 quits).
    int console[2];
    if (::pipe2(console, O_CLOEXEC) != 0) throw SimError("cannot make a pipe: " + Errno());
    Fd console_read(console[0]), console_write(console[1]);

    const std::vector<std::string> args = {
        s51,  "-t", cpu,  "-X",   std::to_string(clock), "-b", "-S", "in=" + rx + ",out=" + tx,
        "-C", cfg,  "-g", program};
    S51Process process(SpawnS51(args, console_read.get(), log.get()));
    console_read.Reset();

    auto s51_ended = [&](int status) {
      std::string text = fmt::format("tarlek-sim: s51 ended {}", EndedHow(status));
      const std::string tail = ReadTail(log_path, 5);
      if (!tail.empty()) text += "; its last words:\n" + tail;
      io.err(text + "\n");
      return kExitFailure;
    };

    // Ready once s51 reads its input: then hold that open too, so that it
    // never sees the end of its input between two clients.
    Fd rx_hold;
    const auto deadline = Clock::now() + 20s;
    while (rx_hold.get() < 0) {
      rx_hold.Reset(::open(rx.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
      if (rx_hold.get() >= 0) break;
      if (errno != ENXIO) throw SimError("cannot open " + rx + ": " + Errno());
      pollfd pfd{signals.get(), POLLIN, 0};
      ::poll(&pfd, 1, 10);
      const int sig = TakeSignal(signals.get());
      int status = 0;
      if (process.Ended(status)) return s51_ended(status);
      if (sig != 0 && sig != SIGCHLD) return kExitOk;
      if (Clock::now() > deadline) throw SimError("s51 did not open its serial input in 20 s");
    }

    const std::string port = "fifo:" + rx + "," + tx;
    if (!options.quiet) {
      std::string what = fmt::format("tarlek-sim: {} runs in s51 (pid {}): -t {} at {} Hz",
                                     options.program, process.pid(), cpu, clock);
      if (build) {
        what +=
            fmt::format("; its resident at {:02X}00h, {} baud, timer {}", build->page, build->baud,
                        build->timer == 0 ? "unknown" : std::to_string(build->timer));
      }
      io.err(what + ". Ctrl-C stops it.\n");
    }
    if (!io.out(options.print_port ? port + "\n"
                                   : "export TARLEK_PORT=" + ShellWord(port) + "\n")) {
      // Nobody could learn the port: the run would serve no one.
      throw SimError("cannot write the port on standard output: " + Errno());
    }

    // While no client holds the port (tarlek-mon locks the input FIFO), what
    // the program prints is read and dropped here, so that s51 never waits
    // on a full pipe; with a client attached this side reads nothing.
    bool tx_open = true;
    for (;;) {
      pollfd fds[2] = {{signals.get(), POLLIN, 0}, {tx_hold.get(), POLLIN, 0}};
      const int n = ::poll(fds, tx_open ? 2 : 1, tx_open ? -1 : 100);
      if (n < 0 && errno != EINTR) throw SimError("cannot wait: " + Errno());
      const int sig = TakeSignal(signals.get());
      int status = 0;
      if (process.Ended(status)) return s51_ended(status);
      if (sig != 0 && sig != SIGCHLD) return kExitOk;
      if (!tx_open) {
        tx_open = true;  // look again after the pause
        continue;
      }
      if ((fds[1].revents & (POLLIN | POLLHUP)) == 0) continue;
      if (::flock(rx_hold.get(), LOCK_SH | LOCK_NB) != 0) {
        tx_open = false;  // a client reads: leave the line to it for a while
        continue;
      }
      char buffer[4096];
      ssize_t got = 0;
      while ((got = ::read(tx_hold.get(), buffer, sizeof buffer)) > 0) {
      }
      ::flock(rx_hold.get(), LOCK_UN);
      // No writer left (s51 closed its output): wait for its end instead.
      if (got == 0) tx_open = false;
    }
  } catch (const SimError& error) {
    io.err(std::string("tarlek-sim: ") + error.what() + "\n");
    return kExitFailure;
  }
}

}  // namespace tarlek::sim
