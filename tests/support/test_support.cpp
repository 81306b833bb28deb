#include "support/test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "base/resident_facts.h"

namespace tarlek::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/tarlek-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make everything removable again, whatever a test did to the modes.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteFile(const std::string& path, const std::string& text) {
  WriteFile(path, Bytes(text.begin(), text.end()));
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string& path) {
  Bytes bytes = ReadFile(path);
  return std::string(bytes.begin(), bytes.end());
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::set<std::string> DirectoryNames(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    names.insert(entry.path().filename().string());
  return names;
}

CapturedConsole::CapturedConsole(bool colour) : fd_(::memfd_create("console", MFD_CLOEXEC)) {
  if (fd_ < 0) throw std::runtime_error("memfd_create failed");
  console_ = std::make_unique<Console>(fd_, colour);
}

CapturedConsole::~CapturedConsole() {
  console_.reset();
  ::close(fd_);
}

std::string CapturedConsole::Text() {
  console_->Flush();
  std::string text;
  char buffer[4096];
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(fd_, buffer, sizeof buffer, offset);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    offset += n;
  }
  return text;
}

InDirectory::InDirectory(const std::string& path) : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(path);
}

InDirectory::~InDirectory() {
  std::error_code ec;
  std::filesystem::current_path(previous_, ec);
}

bool ReadFailsAfterOpen(const char* path) {
  const int fd = ::open(path, O_RDONLY);
  if (fd < 0) return false;
  char byte;
  const ssize_t n = ::read(fd, &byte, 1);
  const int error = errno;
  ::close(fd);
  return n < 0 && error == EIO;
}

std::optional<User> Nobody() {
  if (::geteuid() != 0) return std::nullopt;
  const struct passwd* entry = ::getpwnam("nobody");
  if (entry == nullptr) return std::nullopt;
  return User{entry->pw_uid, entry->pw_gid};
}

bool BecomeUser(const User& user) {
  return ::setgroups(0, nullptr) == 0 && ::setgid(user.gid) == 0 && ::setuid(user.uid) == 0 &&
         ::geteuid() == user.uid && ::getegid() == user.gid;
}

NobodyRun RunAsNobody(const std::function<std::string()>& body) {
  constexpr int kCannotSwitch = 77;
  const std::optional<User> nobody = Nobody();
  if (!nobody) return {};
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::close(pipe_fds[0]);
    if (!BecomeUser(*nobody)) ::_exit(kCannotSwitch);
    const std::string report = body();
    const bool sent =
        ::write(pipe_fds[1], report.data(), report.size()) == static_cast<ssize_t>(report.size());
    ::_exit(sent ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  NobodyRun result;
  result.report = Drain(pipe_fds[0]);
  ::close(pipe_fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.switched = !(WIFEXITED(status) && WEXITSTATUS(status) == kCannotSwitch);
  return result;
}

std::unique_ptr<ProgramState> NewState() { return std::make_unique<ProgramState>(); }

const Bytes kExampleResident{0x05, 0x00, 0x00, 0x01, 0x00, 0x00,
                             0x00, 0x02, 0x00, 0x03, 0x80, 0xFE};
const Bytes kExamplePlacedAt80h{0x02, 0x80, 0x03, 0x80, 0xFE};

void LayHooks(std::span<uint8_t> code, uint8_t page) {
  auto jump = [&](uint16_t at, uint8_t opcode, uint8_t entry) {
    if (at + 3u > code.size()) throw std::logic_error("no room for the hooks");
    code[at] = opcode;
    code[at + 1u] = page;
    code[at + 2u] = entry;
  };
  jump(resident::kHookReset, resident::kOpcodeLcall, resident::kEntryInit);
  jump(resident::kHookSerial, resident::kOpcodeLjmp, resident::kEntrySerial);
}

Bytes ResidentFile(const Bytes& flags, const Bytes& code) {
  if (flags.size() != code.size()) throw std::logic_error("flags and code differ in length");
  // Room for all of it first: GCC 12 at -O3 sees the growth of a two-byte
  // vector as an access out of its bounds (-Warray-bounds).
  Bytes file;
  file.reserve(2 + 2 * code.size());
  file.push_back(static_cast<uint8_t>(code.size() & 0xFF));
  file.push_back(static_cast<uint8_t>(code.size() >> 8));
  file.insert(file.end(), flags.begin(), flags.end());
  file.insert(file.end(), code.begin(), code.end());
  return file;
}

std::string Drain(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

namespace {

// Ends a child that could not be prepared, saying why on its standard error.
[[noreturn]] void SetupFailed(const char* what) {
  const char prefix[] = "setup: ";
  if (::write(STDERR_FILENO, prefix, sizeof prefix - 1) < 0 ||
      ::write(STDERR_FILENO, what, std::strlen(what)) < 0 || ::write(STDERR_FILENO, "\n", 1) < 0) {
  }
  ::_exit(kSetupFailed);
}

// Makes one system call fail with an error for this process and what it
// executes (a seccomp filter, kept across execve).
bool FailCall(const ProcessOptions::FailingCall& call) {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(call.number), 0, 1),
      BPF_STMT(BPF_RET | BPF_K,
               SECCOMP_RET_ERRNO | (static_cast<uint32_t>(call.error) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) == 0;
}

}  // namespace

StartedProcess StartTarlekProcess(const std::string& cwd, const std::vector<std::string>& args,
                                  const ProcessOptions& options) {
  int out_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const int err_fd = ::memfd_create("stderr", MFD_CLOEXEC);
  if (err_fd < 0) throw std::runtime_error("memfd_create failed");
  std::vector<const char*> argv{options.exe.c_str()};
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    // Read only: nothing is written there.
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd < 0 || ::dup2(null_fd, STDIN_FILENO) < 0 ||
        ::dup2(out_pipe[1], STDOUT_FILENO) < 0 || ::dup2(err_fd, STDERR_FILENO) < 0)
      ::_exit(kSetupFailed);
    if (options.close_output) ::close(STDOUT_FILENO);
    ::close_range(3, ~0U, 0);
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGXFSZ, options.ignore_sigxfsz ? SIG_IGN : SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::umask(options.umask);
    for (const auto& [resource, value] : {std::pair{RLIMIT_FSIZE, options.file_size_limit},
                                          std::pair{RLIMIT_NOFILE, options.open_file_limit}}) {
      if (value == RLIM_INFINITY) continue;
      struct rlimit limit;
      if (::getrlimit(resource, &limit) != 0) SetupFailed("getrlimit");
      limit.rlim_cur = value;
      if (::setrlimit(resource, &limit) != 0) SetupFailed("setrlimit");
    }
    if (options.user && !BecomeUser(*options.user))
      SetupFailed("cannot switch to the unprivileged user");
    if (::chdir(cwd.c_str()) != 0) SetupFailed("chdir");
    if (options.failing_call && !FailCall(*options.failing_call))
      SetupFailed("cannot install the seccomp filter that fails the call");
    ::execv(argv[0], const_cast<char* const*>(argv.data()));
    SetupFailed("execv");
  }
  ::close(out_pipe[1]);
  return {pid, out_pipe[0], err_fd};
}

RunResult FinishTarlekProcess(const StartedProcess& started) {
  RunResult result;
  result.output = Drain(started.out_fd);
  ::close(started.out_fd);
  int status = 0;
  while (::waitpid(started.pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  if (::lseek(started.err_fd, 0, SEEK_SET) == 0) result.errors = Drain(started.err_fd);
  ::close(started.err_fd);
  return result;
}

RunResult RunTarlekProcess(const std::string& cwd, const std::vector<std::string>& args,
                           const ProcessOptions& options) {
  return FinishTarlekProcess(StartTarlekProcess(cwd, args, options));
}

}  // namespace tarlek::testing
