// Shared test fixtures: a private temporary directory, a console whose output
// can be read back, the example resident, running the real executable and
// running code as an unprivileged user.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "base/console.h"
#include "merge/program_state.h"

namespace tarlek::testing {

using Bytes = std::vector<uint8_t>;

// A fresh directory under the system's temporary directory, removed with all
// its contents afterwards. Tests touch nothing outside it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const Bytes& bytes);
void WriteFile(const std::string& path, const std::string& text);
Bytes ReadFile(const std::string& path);
std::string ReadText(const std::string& path);
bool FileExists(const std::string& path);
// The names of the entries of a directory (not of its subdirectories).
std::set<std::string> DirectoryNames(const std::string& dir);

// A console writing into an in-memory file, plain text unless colour is asked for.
class CapturedConsole {
 public:
  explicit CapturedConsole(bool colour = false);
  ~CapturedConsole();
  Console& console() { return *console_; }
  operator Console&() { return *console_; }
  // Everything written so far (pending output flushed first).
  std::string Text();

 private:
  int fd_;
  std::unique_ptr<Console> console_;
};

// Changes the working directory for the life of the object (the placement
// looks for tarlek.bin in the current directory).
class InDirectory {
 public:
  explicit InDirectory(const std::string& path);
  ~InDirectory();
  InDirectory(const InDirectory&) = delete;
  InDirectory& operator=(const InDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

// Whether path opens but its first read fails with EIO, as the process's own
// memory file (/proc/self/mem, read at address 0, never mapped) does: a real
// read error after a successful open, without touching any device.
bool ReadFailsAfterOpen(const char* path);

// An unprivileged user to become in a child process.
struct User {
  uid_t uid;
  gid_t gid;
};

// The user "nobody", when this process is root and the system has one.
std::optional<User> Nobody();

// Makes the calling process user: no supplementary groups (a switch from root
// would otherwise keep root's), the user's group, then the user itself.
// Meant for a child process; false when any step fails or the process is not
// that user afterwards.
bool BecomeUser(const User& user);

// Runs body in a child process that has become the user nobody and returns
// the text body returned. switched is false, and body has not run, when
// there is no such user or this process may not become it (it is not root).
struct NobodyRun {
  bool switched = false;
  std::string report;
};
NobodyRun RunAsNobody(const std::function<std::string()>& body);

// A zeroed state on the heap: it is too big for a test's stack frame.
std::unique_ptr<ProgramState> NewState();

// The 12-byte example resident image file: LJMP 0003h with its high address
// byte flagged, then SJMP $ (80h FEh).
extern const Bytes kExampleResident;
// The example resident as placed at page 80h.
extern const Bytes kExamplePlacedAt80h;

// A resident image file: length N little-endian, N flags, N code bytes.
Bytes ResidentFile(const Bytes& flags, const Bytes& code);

// Lays the include file's two hooks into a program's code from 0000h on, as
// the resident's facts have them: the long call to page:00h (the resident's
// init) at 0000h and the long jump to page:03h at the serial vector 0023h.
void LayHooks(std::span<uint8_t> code, uint8_t page);

// Everything a file descriptor gives until its end, going on after EINTR.
std::string Drain(int fd);

// How the tarlek executable is started.
struct ProcessOptions {
  rlim_t file_size_limit = RLIM_INFINITY;  // RLIMIT_FSIZE; infinity leaves it as it is
  rlim_t open_file_limit = RLIM_INFINITY;  // RLIMIT_NOFILE; the same
  bool ignore_sigxfsz = false;             // otherwise SIGXFSZ has its default action
  mode_t umask = 022;
  std::optional<User> user;  // run as this user instead of ourselves
  std::string exe = TARLEK_EXE;
  bool close_output = false;  // standard output closed instead of the pipe
  // A system call (by number, SYS_...) that fails with error every time
  // instead of running: a fault injected at the call, such as a full file
  // system, without needing one.
  struct FailingCall {
    long number;
    int error;
  };
  std::optional<FailingCall> failing_call;
};

// The child ends with this status when it could not be prepared.
constexpr int kSetupFailed = 125;

// The result of running the tarlek executable.
struct RunResult {
  int exit_status = -1;  // -1 when it did not exit normally
  int signal = 0;        // the signal that ended it, if one did
  std::string output;    // standard output
  std::string errors;    // standard error; why, when the setup failed
  bool setup_failed() const { return exit_status == kSetupFailed; }
};

// A started executable: its process and where its output goes.
struct StartedProcess {
  pid_t pid;
  int out_fd;
  int err_fd;
};

// Starts the executable with args in directory cwd: standard output to a
// pipe (or closed), standard error to a memory file (so that the two cannot
// deadlock), standard input from /dev/null, no other file open, SIGPIPE at
// its default action and no signal blocked, under the limits and as the user
// of options.
StartedProcess StartTarlekProcess(const std::string& cwd, const std::vector<std::string>& args,
                                  const ProcessOptions& options = {});
// Waits for a started executable to end and collects what it wrote.
RunResult FinishTarlekProcess(const StartedProcess& started);
// Both in one.
RunResult RunTarlekProcess(const std::string& cwd, const std::vector<std::string>& args,
                           const ProcessOptions& options = {});

}  // namespace tarlek::testing
