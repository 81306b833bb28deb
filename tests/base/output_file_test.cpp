// The output file module on its own: the old file stays whole until the new
// one is committed, an abandoned file leaves nothing behind, and a file that
// cannot be opened gives the writer's line.
#include "base/output_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace tarlek::testing {
namespace {

Bytes Pattern(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

// Writes bytes in pieces of the given sizes, round and round.
void WriteInPieces(OutputFile& file, const Bytes& bytes, const std::vector<size_t>& pieces) {
  size_t done = 0;
  for (size_t i = 0; done < bytes.size(); ++i) {
    const size_t n = std::min(pieces[i % pieces.size()], bytes.size() - done);
    file.Write(bytes.data() + done, n);
    done += n;
  }
}

struct ReplaceCase {
  const char* name;
  std::string open;       // the path given to Open, in the test directory
  std::string file;       // the file that holds the old contents
  std::string directory;  // where the temporary file goes
  friend void PrintTo(const ReplaceCase& c, std::ostream* os) { *os << c.name; }
};

class Replace : public ::testing::TestWithParam<ReplaceCase> {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir_ / "real");
    WriteFile(dir_ / GetParam().file, "the user's old file\n");
    std::filesystem::create_symlink("real/prog.bin", dir_ / "link.bin");
  }
  TempDir dir_;
};

TEST_P(Replace, OldFileStaysWholeUntilCommit) {
  const ReplaceCase& c = GetParam();
  const std::string temp_dir = dir_ / c.directory;
  const std::set<std::string> before = DirectoryNames(temp_dir);
  const Bytes contents = Pattern(200000);  // several buffers' worth
  {
    OutputFile file;
    ASSERT_TRUE(file.Open((dir_ / c.open).c_str(), contents.size()));
    WriteInPieces(file, contents, {1, 65535, 7, 65537, 3000});

    EXPECT_EQ(ReadText(dir_ / c.file), "the user's old file\n");
    std::set<std::string> added = DirectoryNames(temp_dir);
    for (const auto& name : before) added.erase(name);
    ASSERT_EQ(added.size(), 1u) << "one temporary file beside the target";
    EXPECT_EQ(added.begin()->front(), '.') << *added.begin();
    EXPECT_LE(added.begin()->size(), size_t{NAME_MAX});

    ASSERT_TRUE(file.Commit());
  }
  EXPECT_EQ(ReadFile(dir_ / c.file), contents);
  EXPECT_EQ(DirectoryNames(temp_dir), before);
}

TEST_P(Replace, AbandonedFileLeavesTheOldOneAndNoTemporary) {
  const ReplaceCase& c = GetParam();
  const std::set<std::string> before = DirectoryNames(dir_ / c.directory);
  {
    OutputFile file;
    const Bytes contents = Pattern(100000);
    ASSERT_TRUE(file.Open((dir_ / c.open).c_str(), contents.size()));
    file.Write(contents.data(), contents.size());
  }
  EXPECT_EQ(ReadText(dir_ / c.file), "the user's old file\n");
  EXPECT_EQ(DirectoryNames(dir_ / c.directory), before);
}

INSTANTIATE_TEST_SUITE_P(Targets, Replace,
                         ::testing::ValuesIn(std::vector<ReplaceCase>{
                             {"Plain", "prog.bin", "prog.bin", "."},
                             // The longest name a directory takes: the temporary's name must not
                             // grow past that limit and push the write back in place.
                             {"LongestName", std::string(NAME_MAX - 4, 'p') + ".bin",
                              std::string(NAME_MAX - 4, 'p') + ".bin", "."},
                             {"ThroughLink", "link.bin", "real/prog.bin", "real"},
                         }),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(OutputFile, NewFileAbandonedLeavesNothing) {
  TempDir dir;
  {
    OutputFile file;
    ASSERT_TRUE(file.Open((dir / "new.bin").c_str(), 3));
    file.Write("abc", 3);
  }
  EXPECT_TRUE(DirectoryNames(dir.path()).empty());
}

TEST(OutputFile, LeavesTheProcessSignalsAsItFoundThem) {
  TempDir dir;
  const int signals[] = {SIGPIPE, SIGXFSZ, SIGINT, SIGTERM, SIGHUP};
  struct sigaction before[std::size(signals)];
  for (size_t i = 0; i < std::size(signals); ++i) ::sigaction(signals[i], nullptr, &before[i]);
  for (bool commit : {true, false}) {
    OutputFile file;
    ASSERT_TRUE(file.Open((dir / "new.bin").c_str(), 3));
    file.Write("abc", 3);
    if (commit) {
      ASSERT_TRUE(file.Commit());
    }
  }
  for (size_t i = 0; i < std::size(signals); ++i) {
    struct sigaction after;
    ::sigaction(signals[i], nullptr, &after);
    EXPECT_EQ(after.sa_handler, before[i].sa_handler) << "signal " << signals[i];
  }
}

// A stop signal while the temporary file is being written: it is removed and
// the process ends by that signal; the old file stays. A signal the process
// ignores stays ignored, and the write goes on to its end.
TEST(OutputFile, StopSignalRemovesTheTemporaryAndEndsTheProcess) {
  const Bytes contents = Pattern(100000);
  for (bool ignored : {false, true}) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
      SCOPED_TRACE(::testing::Message() << "signal " << signal << (ignored ? " ignored" : ""));
      TempDir dir;
      const std::string path = dir / "prog.bin";
      WriteFile(path, "the user's old file\n");
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ::signal(signal, ignored ? SIG_IGN : SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        OutputFile file;
        if (!file.Open(path.c_str(), contents.size())) ::_exit(2);
        file.Write(contents.data(), contents.size());
        ::raise(signal);
        ::_exit(file.Commit() ? 0 : 3);
      }
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      EXPECT_EQ(DirectoryNames(dir.path()), std::set<std::string>{"prog.bin"});
      if (ignored) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_EQ(ReadFile(path), contents);
      } else {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(ReadText(path), "the user's old file\n");
      }
    }
  }
}

}  // namespace
}  // namespace tarlek::testing
