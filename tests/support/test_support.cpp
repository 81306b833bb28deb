#include "support/test_support.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

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

AsNobody RunAsNobody(const std::function<std::string()>& body) {
  constexpr int kCannotSwitch = 77;
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fds[0]);
    if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(kCannotSwitch);
    const std::string report = body();
    const bool sent =
        ::write(pipe_fds[1], report.data(), report.size()) == static_cast<ssize_t>(report.size());
    ::_exit(sent ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  AsNobody result;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) {
    result.report.append(buffer, static_cast<size_t>(n));
  }
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.switched = !(WIFEXITED(status) && WEXITSTATUS(status) == kCannotSwitch);
  return result;
}

std::unique_ptr<ProgramState> NewState() { return std::make_unique<ProgramState>(); }

namespace {

std::string Drain(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace

RunResult RunTarlekProcess(const std::string& cwd, const std::vector<std::string>& args) {
  return RunProcess(TARLEK_EXE, cwd, args);
}

RunResult RunProcess(const char* exe, const std::string& cwd,
                     const std::vector<std::string>& args) {
  // Standard error goes to a file so that the two pipes cannot deadlock.
  int out_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  int err_fd = ::memfd_create("stderr", MFD_CLOEXEC);
  std::vector<const char*> argv;
  argv.push_back(exe);
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);

  pid_t pid = ::fork();
  if (pid == 0) {
    int null_fd = ::open("/dev/null", O_RDONLY);  // read only: nothing is written there
    ::dup2(null_fd, STDIN_FILENO);
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_fd, STDERR_FILENO);
    if (::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::execv(exe, const_cast<char* const*>(argv.data()));
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  RunResult result;
  result.output = Drain(out_pipe[0]);
  ::close(out_pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  ::lseek(err_fd, 0, SEEK_SET);
  result.errors = Drain(err_fd);
  ::close(err_fd);
  return result;
}

}  // namespace tarlek::testing
