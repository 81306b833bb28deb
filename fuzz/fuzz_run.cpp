// libFuzzer target for one whole run of the tool. The fuzzer's bytes are cut
// into a control byte, the program file (HEX or BIN) and the resident image
// file tarlek.bin; the run works in a private temporary directory and writes
// its console to an in-memory file, which is checked after every run:
//   exit 0: the closing line and no "ERROR - " line;
//   exit 1: exactly one "ERROR - " line, the last line written;
//   anything else (and any crash, overflow or hang) is a finding.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/console.h"
#include "base/output_file.h"
#include "merge/driver.h"
#include "merge/program_state.h"

namespace {

tarlek::ProgramState g_state;
int g_console_fd = -1;
// The run's own directory, and the one the fuzzer was started in (where its
// corpus and crash files are named relative to), entered in turn.
int g_run_dir = -1;
int g_start_dir = -1;
char g_console_text[1 << 16];

[[noreturn]] void Fail(const char* what, std::string_view console) {
  std::fprintf(stderr, "fuzz_run: %s\n--- console ---\n%.*s\n---\n", what,
               static_cast<int>(console.size()), console.data());
  std::abort();
}

void WriteWhole(const char* path, const uint8_t* data, size_t size) {
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::abort();
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) std::abort();
    data += n;
    size -= static_cast<size_t>(n);
  }
  ::close(fd);
}

std::string_view ConsoleText() {
  const off_t end = ::lseek(g_console_fd, 0, SEEK_CUR);
  if (end < 0 || static_cast<size_t>(end) > sizeof g_console_text) std::abort();
  if (::pread(g_console_fd, g_console_text, static_cast<size_t>(end), 0) != end) std::abort();
  return {g_console_text, static_cast<size_t>(end)};
}

size_t CountErrorLines(std::string_view text, bool& last_is_error) {
  size_t count = 0;
  last_is_error = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const bool error = text.substr(start, end - start).starts_with("ERROR - ");
    count += error;
    last_is_error = error;
    start = end + 1;
  }
  return count;
}

off_t FileSize(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 ? st.st_size : -1;
}

char g_run_path[4096];

void RemoveRunDir() {
  for (const char* name : {"prog.bin", "prog.hex", "tarlek.bin"}) ::unlinkat(g_run_dir, name, 0);
  ::rmdir(g_run_path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarlek::IgnoreWriteSignals();  // as the tool's main does
  const char* tmp = std::getenv("TMPDIR");
  char* dir = g_run_path;
  std::snprintf(dir, sizeof g_run_path, "%s/tarlek-fuzz-XXXXXX", tmp != nullptr ? tmp : "/tmp");
  if (::mkdtemp(dir) == nullptr) std::abort();
  g_run_dir = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  g_start_dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_run_dir < 0 || g_start_dir < 0) std::abort();
  std::atexit(RemoveRunDir);
  g_console_fd = ::memfd_create("console", MFD_CLOEXEC);
  if (g_console_fd < 0) std::abort();
  return 0;
}

// Control byte: bit 0 the program's kind (0 HEX, 1 BIN); bits 1..2 the option
// (none, /ob, /oh, a bad one); bit 3 leaves tarlek.bin out; bits 4..7 with the
// next byte give the program file's share of the rest, in 4095ths.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t control = data[0];
  const size_t share = (size_t{control} >> 4) << 8 | data[1];
  data += 2;
  size -= 2;
  const size_t program_size = size * share / 4095;

  if (::fchdir(g_run_dir) != 0) std::abort();
  const bool bin = (control & 1) != 0;
  const char* program = bin ? "prog.bin" : "prog.hex";
  ::unlink("prog.bin");
  ::unlink("prog.hex");
  ::unlink("tarlek.bin");
  WriteWhole(program, data, program_size);
  if ((control & 8) == 0) WriteWhole("tarlek.bin", data + program_size, size - program_size);

  static const char* const kOptions[] = {nullptr, "/ob", "/oH", "/ox"};
  const char* option = kOptions[(control >> 1) & 3];
  const char* argv[] = {"tarlek", program, option, nullptr};
  const int argc = option == nullptr ? 2 : 3;

  if (::ftruncate(g_console_fd, 0) != 0 || ::lseek(g_console_fd, 0, SEEK_SET) != 0) std::abort();
  g_state = tarlek::ProgramState{};
  int status;
  {
    tarlek::Console console(g_console_fd, false);
    status = tarlek::RunTarlek(argc, argv, g_state, console);
  }

  const std::string_view text = ConsoleText();
  bool last_is_error;
  const size_t errors = CountErrorLines(text, last_is_error);
  if (status == tarlek::kExitOk) {
    if (errors != 0 ||
        text.find("Tarlek loading O.K. - thank You for using it.\n") == std::string_view::npos)
      Fail("exit 0 without the closing line, or with an error line", text);
    // The resident lies inside the image, and a binary output ends with it.
    if (g_state.ResidentStart > 0xFF00 || g_state.ResidentEnd >= 0xFFFD ||
        g_state.FirstFreeAddress() > g_state.ResidentStart)
      Fail("resident placed outside its limits", text);
    const bool bin_out = option == nullptr ? bin : option[2] == 'b';
    const off_t out_size = FileSize(bin_out ? "prog.bin" : "prog.hex");
    if (out_size < 0) Fail("no output file after a successful run", text);
    if (bin_out && out_size != off_t{g_state.ResidentEnd} + 1)
      Fail("binary output does not end with the resident", text);
  } else if (status == tarlek::kExitFailure) {
    if (errors != 1 || !last_is_error) Fail("exit 1 without exactly one final error line", text);
  } else {
    Fail("unexpected exit status", text);
  }
  if (::fchdir(g_start_dir) != 0) std::abort();
  return 0;
}
