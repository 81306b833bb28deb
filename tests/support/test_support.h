// Shared test fixtures: a private temporary directory, a console whose output
// can be read back, and running the real executable.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/console.h"
#include "image/program_state.h"

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

// Runs body in a child process that has become the unprivileged user nobody
// (uid and gid 65534) and returns the text body returned. switched is false
// when the child could not become that user.
struct AsNobody {
  bool switched = false;
  std::string report;
};
AsNobody RunAsNobody(const std::function<std::string()>& body);

// A zeroed state on the heap: it is too big for a test's stack frame.
std::unique_ptr<ProgramState> NewState();

// The result of running the tarlek executable.
struct RunResult {
  int exit_status = -1;  // -1 when it did not exit normally
  std::string output;    // standard output
  std::string errors;    // standard error
};

// Runs the real executable with args in directory cwd, standard output and
// error to pipes, no standard input.
RunResult RunTarlekProcess(const std::string& cwd, const std::vector<std::string>& args);
// The same for another executable of the build (exe: its path).
RunResult RunProcess(const char* exe, const std::string& cwd, const std::vector<std::string>& args);

}  // namespace tarlek::testing
