// The user's files under faults, through the real executable: a write that
// fails half way, a full device, permissions that forbid the write, FIFOs and
// devices that must be written in place. Whatever fails, the old file is kept
// byte for byte and no temporary file is left behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/intel_hex.h"
#include "support/test_support.h"

namespace tarlek::testing {
namespace {

constexpr uid_t kStranger = 4242;  // owns files in some cases; no such user is needed
constexpr gid_t kStrangerGroup = 4243;
constexpr const char* kClosingLine = "Tarlek loading O.K. - thank You for using it.";

struct stat Lstat(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) throw std::runtime_error("lstat " + path);
  return st;
}

// A program that asks for the resident at page high (LCALL at 0000h, LJMP at
// 0023h), as a binary of size bytes and as Intel HEX, and a small resident.
void PutInputs(const std::string& dir, uint8_t page = 0x80, size_t size = 0x200) {
  Bytes program(size, 0);
  LayHooks(program, page);
  WriteFile(dir + "/prog.bin", program);
  WriteFile(dir + "/prog.hex", RecordLine(0, 0x0000, {0x12, page, 0x00}) + "\n" +
                                   RecordLine(0, 0x0023, {0x02, 0x00, 0x00}) + "\n" +
                                   ":00000001FF\n");
  WriteFile(dir + "/tarlek.bin", kExampleResident);
}

// What a run with these arguments writes to a plain new file.
Bytes Reference(const std::vector<std::string>& args, const std::string& output) {
  TempDir dir;
  PutInputs(dir.path());
  if (args.size() > 1) std::filesystem::remove(dir / output);
  const RunResult run = RunTarlekProcess(dir.path(), args);
  if (run.exit_status != 0) throw std::runtime_error("reference run failed: " + run.output);
  return ReadFile(dir / output);
}

std::string ErrorLine(const std::string& output) {
  const bool hex = output.size() >= 4 && output.compare(output.size() - 4, 4, ".hex") == 0;
  return std::string("ERROR - ") + (hex ? "INTEL HEX" : "BIN") + " output file " + output +
         " cannot be written !\n";
}

// The tool failed in the writer: the address line, the writer's line for
// output as passed, no closing line, exit status 1, nothing on stderr.
void ExpectWriterFailed(const RunResult& run, const std::string& output) {
  EXPECT_EQ(run.exit_status, 1) << "signal " << run.signal << "\n" << run.output;
  EXPECT_NE(run.output.find("Tarlek is now located at "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find(ErrorLine(output)), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find(kClosingLine), std::string::npos) << run.output;
  EXPECT_EQ(run.errors, "");
}

void ExpectSucceeded(const RunResult& run) {
  EXPECT_EQ(run.exit_status, 0) << "signal " << run.signal << "\n" << run.output;
  EXPECT_NE(run.output.find(kClosingLine), std::string::npos) << run.output;
  EXPECT_EQ(run.errors, "");
}

// Makes the device node (major, minor) at path; false when this file system
// or this process may not.
bool MakeDevice(const std::string& path, unsigned major, unsigned minor, std::string& why) {
  if (::mknod(path.c_str(), S_IFCHR | 0666, makedev(major, minor)) == 0) return true;
  why = "cannot make a device node in the test directory (" + std::string(std::strerror(errno)) +
        "): device targets are not tested here";
  return false;
}

// --- A write that fails half way -----------------------------------------

struct HalfWayCase {
  const char* name;
  std::vector<std::string> args;
  std::string output;
  bool output_exists;  // an old file of that name is there before the run
  bool ignore_sigxfsz;
  friend void PrintTo(const HalfWayCase& c, std::ostream* os) { *os << c.name; }
};

class HalfWayWrite : public ::testing::TestWithParam<HalfWayCase> {};

TEST_P(HalfWayWrite, KeepsTheOldFileAndLeavesNoTemporary) {
  const HalfWayCase& c = GetParam();
  TempDir dir;
  PutInputs(dir.path());
  if (!c.output_exists) std::filesystem::remove(dir / c.output);
  if (c.output_exists && c.args.size() > 1) WriteFile(dir / c.output, "the user's old file\n");
  const std::set<std::string> before = DirectoryNames(dir.path());
  const Bytes old = c.output_exists ? ReadFile(dir / c.output) : Bytes{};

  ProcessOptions child;
  child.file_size_limit = 64;  // every output here is longer
  child.ignore_sigxfsz = c.ignore_sigxfsz;
  const RunResult run = RunTarlekProcess(dir.path(), c.args, child);

  ExpectWriterFailed(run, c.output);
  EXPECT_EQ(DirectoryNames(dir.path()), before);
  if (c.output_exists) {
    EXPECT_EQ(ReadFile(dir / c.output), old);
  }
}

INSTANTIATE_TEST_SUITE_P(
    FileSizeLimit, HalfWayWrite,
    ::testing::ValuesIn(std::vector<HalfWayCase>{
        {"BinOverItself", {"prog.bin"}, "prog.bin", true, true},
        {"HexOverItself", {"prog.hex"}, "prog.hex", true, true},
        {"HexInputOverOldBin", {"prog.hex", "/ob"}, "prog.bin", true, true},
        {"BinInputOverOldHex", {"prog.bin", "/oh"}, "prog.hex", true, true},
        {"NewBinFile", {"prog.hex", "/ob"}, "prog.bin", false, true},
        {"NewHexFile", {"prog.bin", "/OH"}, "prog.hex", false, true},
        // A size limit with the signal left at its default must not end
        // the tool before it cleans up.
        {"BinOverItselfSignalDefault", {"prog.bin"}, "prog.bin", true, false},
        {"HexOverItselfSignalDefault", {"prog.hex"}, "prog.hex", true, false},
        {"NewBinFileSignalDefault", {"prog.hex", "/ob"}, "prog.bin", false, false},
    }),
    [](const auto& p) { return std::string(p.param.name); });

// The temporary file cannot be made for another reason than a directory
// that refuses it (here the open-file limit: standard input, output, error
// and the probe of the old file take all four): that is reported, and the old
// file is not rewritten in place instead.
TEST(TemporaryFile, ThatCannotBeCreatedIsReportedNotWrittenInPlace) {
  TempDir dir;
  PutInputs(dir.path());
  WriteFile(dir / "prog.bin", "the user's old file\n");
  const ino_t inode = Lstat(dir / "prog.bin").st_ino;
  const std::set<std::string> before = DirectoryNames(dir.path());
  ProcessOptions child;
  child.open_file_limit = 4;
  const RunResult run = RunTarlekProcess(dir.path(), {"prog.hex", "/ob"}, child);
  ExpectWriterFailed(run, "prog.bin");
  EXPECT_EQ(ReadText(dir / "prog.bin"), "the user's old file\n");
  EXPECT_EQ(Lstat(dir / "prog.bin").st_ino, inode);
  EXPECT_EQ(DirectoryNames(dir.path()), before);
}

// --- Character devices ---------------------------------------------------

struct DeviceCase {
  const char* name;
  unsigned minor;  // of major 1: 7 is "full", 3 is "null"
  bool through_link;
  std::vector<std::string> args;
  std::string output;
  friend void PrintTo(const DeviceCase& c, std::ostream* os) { *os << c.name; }
};

class DeviceTarget : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(DeviceTarget, IsWrittenInPlaceAndStaysADevice) {
  const DeviceCase& c = GetParam();
  TempDir dir;
  PutInputs(dir.path());
  std::filesystem::remove(dir / c.output);
  const std::string node = c.through_link ? "device" : c.output;
  std::string why;
  if (!MakeDevice(dir / node, 1, c.minor, why)) GTEST_SKIP() << why;
  if (c.through_link) std::filesystem::create_symlink("device", dir / c.output);
  const std::set<std::string> before = DirectoryNames(dir.path());

  const RunResult run = RunTarlekProcess(dir.path(), c.args);

  if (c.minor == 7)
    ExpectWriterFailed(run, c.output);  // no space left on the device
  else
    ExpectSucceeded(run);
  EXPECT_EQ(DirectoryNames(dir.path()), before);
  const struct stat device = Lstat(dir / node);
  EXPECT_TRUE(S_ISCHR(device.st_mode));
  EXPECT_EQ(device.st_rdev, makedev(1, c.minor));
  if (c.through_link) {
    EXPECT_TRUE(S_ISLNK(Lstat(dir / c.output).st_mode));
    EXPECT_EQ(std::filesystem::read_symlink(dir / c.output).string(), "device");
  }
}

INSTANTIATE_TEST_SUITE_P(FullAndNull, DeviceTarget,
                         ::testing::ValuesIn(std::vector<DeviceCase>{
                             {"LinkToFullBin", 7, true, {"prog.hex", "/ob"}, "prog.bin"},
                             {"LinkToFullHex", 7, true, {"prog.bin", "/oh"}, "prog.hex"},
                             {"FullItselfBin", 7, false, {"prog.hex", "/ob"}, "prog.bin"},
                             {"LinkToNullBin", 3, true, {"prog.hex", "/ob"}, "prog.bin"},
                             {"LinkToNullHex", 3, true, {"prog.bin", "/oh"}, "prog.hex"},
                             {"NullItselfHex", 3, false, {"prog.bin", "/oh"}, "prog.hex"},
                         }),
                         [](const auto& p) { return std::string(p.param.name); });

// --- Modes, owners and links ----------------------------------------------

class KeptMode : public ::testing::TestWithParam<mode_t> {};

TEST_P(KeptMode, ExistingTargetKeepsModeAndOwner) {
  const mode_t mode = GetParam();
  TempDir dir;
  PutInputs(dir.path());
  WriteFile(dir / "prog.bin", "old");
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown((dir / "prog.bin").c_str(), kStranger, kStrangerGroup), 0);
  }
  ASSERT_EQ(::chmod((dir / "prog.bin").c_str(), mode), 0);
  const RunResult run = RunTarlekProcess(dir.path(), {"prog.hex", "/ob"});
  ExpectSucceeded(run);
  const struct stat st = Lstat(dir / "prog.bin");
  EXPECT_EQ(st.st_mode & 07777, mode) << std::oct << (st.st_mode & 07777);
  if (root) {
    EXPECT_EQ(st.st_uid, kStranger);
    EXPECT_EQ(st.st_gid, kStrangerGroup);
  }
  EXPECT_EQ(ReadFile(dir / "prog.bin"), Reference({"prog.hex", "/ob"}, "prog.bin"));
  EXPECT_EQ(DirectoryNames(dir.path()),
            (std::set<std::string>{"prog.bin", "prog.hex", "tarlek.bin"}));
}

INSTANTIATE_TEST_SUITE_P(UnusualBits, KeptMode,
                         ::testing::Values(0640, 0604, 0400 | 0200, 04755, 02750, 01644),
                         [](const auto& p) {
                           char name[16];
                           std::snprintf(name, sizeof name, "Mode%04o", p.param);
                           return std::string(name);
                         });

class NewFileMode : public ::testing::TestWithParam<mode_t> {};

TEST_P(NewFileMode, IsReadWriteForAllLessTheUmask) {
  const mode_t mask = GetParam();
  TempDir dir;
  PutInputs(dir.path());
  std::filesystem::remove(dir / "prog.bin");
  ProcessOptions child;
  child.umask = mask;
  ExpectSucceeded(RunTarlekProcess(dir.path(), {"prog.hex", "/ob"}, child));
  EXPECT_EQ(Lstat(dir / "prog.bin").st_mode & 07777, 0666 & ~mask);
}

INSTANTIATE_TEST_SUITE_P(Umasks, NewFileMode, ::testing::Values(022, 077, 0, 027, 0666),
                         [](const auto& p) {
                           char name[16];
                           std::snprintf(name, sizeof name, "Umask%03o", p.param);
                           return std::string(name);
                         });

struct LinkCase {
  const char* name;
  std::vector<std::pair<std::string, std::string>> links;  // name, what it points to
  friend void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }
};

class LinkedTarget : public ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkedTarget, LinkStaysAndTheFileItNamesIsReplaced) {
  TempDir dir;
  PutInputs(dir.path());
  std::filesystem::create_directory(dir / "real");
  WriteFile(dir / "real/prog.bin", "old");
  ASSERT_EQ(::chmod((dir / "real/prog.bin").c_str(), 0640), 0);
  std::filesystem::remove(dir / "prog.bin");
  for (const auto& [name, to] : GetParam().links) {
    const std::string target = to.rfind("/", 0) == 0 ? dir.path() + to : to;
    std::filesystem::create_symlink(target, dir / name);
  }
  const ino_t inode = Lstat(dir / "real/prog.bin").st_ino;

  ExpectSucceeded(RunTarlekProcess(dir.path(), {"prog.hex", "/ob"}));

  for (const auto& [name, to] : GetParam().links) EXPECT_TRUE(S_ISLNK(Lstat(dir / name).st_mode));
  const struct stat real = Lstat(dir / "real/prog.bin");
  EXPECT_TRUE(S_ISREG(real.st_mode));
  EXPECT_NE(real.st_ino, inode) << "replaced, not rewritten";
  EXPECT_EQ(real.st_mode & 07777, 0640u);
  EXPECT_EQ(ReadFile(dir / "real/prog.bin"), Reference({"prog.hex", "/ob"}, "prog.bin"));
  EXPECT_EQ(DirectoryNames(dir / "real"), std::set<std::string>{"prog.bin"});
}

INSTANTIATE_TEST_SUITE_P(
    Links, LinkedTarget,
    ::testing::ValuesIn(std::vector<LinkCase>{
        {"Relative", {{"prog.bin", "real/prog.bin"}}},
        {"Absolute", {{"prog.bin", "/real/prog.bin"}}},  // made absolute under the test directory
        {"Chain", {{"prog.bin", "middle"}, {"middle", "real/../real/prog.bin"}}},
    }),
    [](const auto& p) { return std::string(p.param.name); });

TEST(OutputPath, ThatIsADirectoryIsRefused) {
  TempDir dir;
  PutInputs(dir.path());
  std::filesystem::remove(dir / "prog.bin");
  std::filesystem::create_directory(dir / "prog.bin");
  const std::set<std::string> before = DirectoryNames(dir.path());
  ExpectWriterFailed(RunTarlekProcess(dir.path(), {"prog.hex", "/ob"}), "prog.bin");
  EXPECT_EQ(DirectoryNames(dir.path()), before);
  EXPECT_TRUE(std::filesystem::is_directory(dir / "prog.bin"));
  EXPECT_TRUE(std::filesystem::is_empty(dir / "prog.bin"));
}

// --- Permissions, as an unprivileged user ---------------------------------

// A test directory that an unprivileged user can reach, holding a copy of the
// executable that user may run and a working directory with the inputs.
class AsNobody : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0)
      GTEST_SKIP() << "not root: cannot switch to an unprivileged user for permission cases";
    user_ = Nobody();
    if (!user_) GTEST_SKIP() << "no user \"nobody\" on this system";
    ASSERT_EQ(::chmod(dir_.path().c_str(), 0755), 0);
    child_.user = user_;
    child_.exe = dir_ / "tarlek";
    std::filesystem::copy_file(TARLEK_EXE, child_.exe);
    ASSERT_EQ(::chmod(child_.exe.c_str(), 0755), 0);
    work_ = dir_ / "work";
    std::filesystem::create_directory(work_);
    PutInputs(work_);
    std::filesystem::remove(work_ + "/prog.bin");
    for (const char* input : {"/prog.hex", "/tarlek.bin"})
      ASSERT_EQ(::chmod((work_ + input).c_str(), 0644), 0);
  }

  // Gives path to nobody with mode.
  void Own(const std::string& path, mode_t mode, uid_t uid = 0, gid_t gid = 0) {
    if (uid == 0) uid = user_->uid;
    if (gid == 0) gid = user_->gid;
    ASSERT_EQ(::chown(path.c_str(), uid, gid), 0);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  }

  // The user's old prog.bin, theirs to write, in a work directory they may
  // not change; its inode.
  ino_t PutOldFileInReadOnlyDirectory() {
    Own(work_, 0755);
    WriteFile(work_ + "/prog.bin", "the user's old file\n");
    Own(work_ + "/prog.bin", 0644);
    Own(work_, 0555);
    return Lstat(work_ + "/prog.bin").st_ino;
  }

  RunResult Run() {
    RunResult run = RunTarlekProcess(work_, {"prog.hex", "/ob"}, child_);
    if (run.setup_failed()) skip_reason_ = run.errors;
    return run;
  }

  TempDir dir_;
  std::optional<User> user_;
  ProcessOptions child_;
  std::string work_;
  std::string skip_reason_;
};

#define RUN_AS_NOBODY(run)     \
  const RunResult run = Run(); \
  if (run.setup_failed()) GTEST_SKIP() << "as nobody: " << skip_reason_

TEST_F(AsNobody, ReadOnlyTargetIsRefused) {
  Own(work_, 0755);
  WriteFile(work_ + "/prog.bin", "the user's old file\n");
  Own(work_ + "/prog.bin", 0444);
  const std::set<std::string> before = DirectoryNames(work_);
  RUN_AS_NOBODY(run);
  ExpectWriterFailed(run, "prog.bin");
  EXPECT_EQ(ReadText(work_ + "/prog.bin"), "the user's old file\n");
  EXPECT_EQ(Lstat(work_ + "/prog.bin").st_mode & 07777, 0444u);
  EXPECT_EQ(DirectoryNames(work_), before);
}

TEST_F(AsNobody, SomeoneElsesFileIsRefusedThoughTheDirectoryIsWritable) {
  Own(work_, 0755);
  WriteFile(work_ + "/prog.bin", "the user's old file\n");
  Own(work_ + "/prog.bin", 0644, kStranger, kStrangerGroup);
  const std::set<std::string> before = DirectoryNames(work_);
  RUN_AS_NOBODY(run);
  ExpectWriterFailed(run, "prog.bin");
  EXPECT_EQ(ReadText(work_ + "/prog.bin"), "the user's old file\n");
  EXPECT_EQ(Lstat(work_ + "/prog.bin").st_uid, kStranger);
  EXPECT_EQ(DirectoryNames(work_), before);
}

// A writable file in a directory that will not take a new file is written
// in place. The whole output's room is reserved before the old contents
// change: a file that may not grow that far (as on a full file system) is
// left as it was.
TEST_F(AsNobody, WritableTargetInReadOnlyDirectoryIsWrittenInPlace) {
  using FailingCall = ProcessOptions::FailingCall;
  const struct {
    const char* name;
    rlim_t file_size_limit;
    std::optional<FailingCall> failing_call;
    bool written;
  } cases[] = {
      {"RoomForTheOutput", RLIM_INFINITY, std::nullopt, true},
      {"OverTheFileSizeLimit", 64, std::nullopt, false},  // the merged binary is far longer
      {"FileSystemFull", RLIM_INFINITY, FailingCall{SYS_fallocate, ENOSPC}, false},
      // Where the file system cannot reserve room, the room past the old end
      // is written ahead instead.
      {"NoFallocate", RLIM_INFINITY, FailingCall{SYS_fallocate, EOPNOTSUPP}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ino_t inode = PutOldFileInReadOnlyDirectory();
    const std::set<std::string> before = DirectoryNames(work_);
    child_.file_size_limit = c.file_size_limit;
    child_.failing_call = c.failing_call;
    child_.ignore_sigxfsz = true;
    RUN_AS_NOBODY(run);
    if (c.written) {
      ExpectSucceeded(run);
      EXPECT_EQ(ReadFile(work_ + "/prog.bin"), Reference({"prog.hex", "/ob"}, "prog.bin"));
    } else {
      ExpectWriterFailed(run, "prog.bin");
      EXPECT_EQ(ReadText(work_ + "/prog.bin"), "the user's old file\n");
    }
    EXPECT_EQ(Lstat(work_ + "/prog.bin").st_ino, inode);
    EXPECT_EQ(DirectoryNames(work_), before);
  }
}

// Whether /proc/locks shows a process waiting for a flock lock on the file
// with this inode.
bool SomeoneWaitsForLock(ino_t inode) {
  std::ifstream locks("/proc/locks");
  // Appended, not joined with +: GCC 12 at -O3 takes the insertion at the
  // front that + does for a temporary for an overlapping copy (-Wrestrict).
  std::string suffix = ":";
  suffix += std::to_string(inode);
  suffix += ' ';
  for (std::string line; std::getline(locks, line);) {
    if (line.find("->") != std::string::npos && line.find("FLOCK") != std::string::npos &&
        line.find(suffix) != std::string::npos)
      return true;
  }
  return false;
}

// Two writers in place never mix their contents: the tool waits for the lock
// of another and leaves the file alone until it has it.
TEST_F(AsNobody, InPlaceWriteWaitsForTheLockOfAnotherWriter) {
  if (!std::ifstream("/proc/locks")) GTEST_SKIP() << "no /proc/locks to see a waiting lock";
  const ino_t inode = PutOldFileInReadOnlyDirectory();
  const int other_writer = ::open((work_ + "/prog.bin").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other_writer, 0);
  ASSERT_EQ(::flock(other_writer, LOCK_EX), 0);

  const StartedProcess started = StartTarlekProcess(work_, {"prog.hex", "/ob"}, child_);
  bool waiting = false;
  bool ended = false;
  // Until it is seen waiting, or ends; a busy machine may take long to start it.
  for (int i = 0; i < 2400 && !waiting && !ended; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    waiting = SomeoneWaitsForLock(inode);
    siginfo_t info = {};
    ended =
        ::waitid(P_PID, static_cast<id_t>(started.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == started.pid;
  }
  const std::string while_locked = ReadText(work_ + "/prog.bin");
  ::close(other_writer);
  const RunResult run = FinishTarlekProcess(started);
  if (run.setup_failed()) GTEST_SKIP() << "as nobody: " << run.errors;

  EXPECT_TRUE(waiting) << (ended ? "the tool ended without waiting for the lock"
                                 : "the tool was never seen waiting");
  EXPECT_EQ(while_locked, "the user's old file\n");
  ExpectSucceeded(run);
  EXPECT_EQ(Lstat(work_ + "/prog.bin").st_ino, inode);
  EXPECT_EQ(ReadFile(work_ + "/prog.bin"), Reference({"prog.hex", "/ob"}, "prog.bin"));
}

TEST_F(AsNobody, NewFileInReadOnlyDirectoryIsRefused) {
  Own(work_, 0555);
  const std::set<std::string> before = DirectoryNames(work_);
  RUN_AS_NOBODY(run);
  ExpectWriterFailed(run, "prog.bin");
  EXPECT_EQ(DirectoryNames(work_), before);
}

// In a shared directory with the sticky bit a rename may not replace another
// user's file, but the file itself is writable: it is written in place.
TEST_F(AsNobody, WritableFileOfAnotherUserInStickyDirectoryIsWrittenInPlace) {
  Own(work_, 01777, kStranger, kStrangerGroup);
  WriteFile(work_ + "/prog.bin", "the user's old file\n");
  Own(work_ + "/prog.bin", 0666, kStranger, kStrangerGroup);
  const ino_t inode = Lstat(work_ + "/prog.bin").st_ino;
  const std::set<std::string> before = DirectoryNames(work_);
  RUN_AS_NOBODY(run);
  ExpectSucceeded(run);
  const struct stat st = Lstat(work_ + "/prog.bin");
  EXPECT_EQ(st.st_ino, inode);
  EXPECT_EQ(st.st_uid, kStranger);
  EXPECT_EQ(ReadFile(work_ + "/prog.bin"), Reference({"prog.hex", "/ob"}, "prog.bin"));
  EXPECT_EQ(DirectoryNames(work_), before);
}

// --- FIFOs -----------------------------------------------------------------

// A process that opens the FIFO for reading and copies what it reads into a
// file, or reads nothing and closes at once.
class FifoReader {
 public:
  FifoReader(const std::string& fifo, const std::string& copy, bool read) {
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ != 0) return;
    const int in = ::open(fifo.c_str(), O_RDONLY);
    if (in < 0) ::_exit(2);
    if (!read) ::_exit(0);
    const int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(in, buffer, sizeof buffer)) > 0)
      if (::write(out, buffer, static_cast<size_t>(n)) != n) ::_exit(3);
    ::_exit(n == 0 ? 0 : 4);
  }
  // The reader's exit status; a reader still waiting for a writer after a
  // few seconds is ended and gives -1.
  int Finish() {
    int status = 0;
    for (int i = 0; i < 100; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_)
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    return -1;
  }

 private:
  pid_t pid_ = -1;
};

TEST(FifoTarget, IsWrittenInPlaceForItsReader) {
  TempDir dir;
  PutInputs(dir.path());
  std::filesystem::remove(dir / "prog.hex");
  ASSERT_EQ(::mkfifo((dir / "prog.hex").c_str(), 0644), 0);
  std::filesystem::create_directory(dir / "out");
  FifoReader reader(dir / "prog.hex", dir / "out/received", true);
  const RunResult run = RunTarlekProcess(dir.path(), {"prog.bin", "/oh"});
  EXPECT_EQ(reader.Finish(), 0);
  ExpectSucceeded(run);
  EXPECT_TRUE(S_ISFIFO(Lstat(dir / "prog.hex").st_mode));
  EXPECT_EQ(ReadFile(dir / "out/received"), Reference({"prog.bin", "/oh"}, "prog.hex"));
  EXPECT_EQ(DirectoryNames(dir.path()),
            (std::set<std::string>{"out", "prog.bin", "prog.hex", "tarlek.bin"}));
}

// The reader goes away before the output (far larger than a pipe holds) is
// written: a failed write, reported, instead of the tool being killed.
TEST(FifoTarget, ReaderThatGoesAwayIsAFailedWrite) {
  TempDir dir;
  PutInputs(dir.path(), 0xF0, 0xF000);
  std::filesystem::remove(dir / "prog.hex");
  ASSERT_EQ(::mkfifo((dir / "prog.hex").c_str(), 0644), 0);
  FifoReader reader(dir / "prog.hex", "", false);
  const RunResult run = RunTarlekProcess(dir.path(), {"prog.bin", "/oh"});
  EXPECT_EQ(reader.Finish(), 0);
  ExpectWriterFailed(run, "prog.hex");
  EXPECT_TRUE(S_ISFIFO(Lstat(dir / "prog.hex").st_mode));
  EXPECT_EQ(DirectoryNames(dir.path()),
            (std::set<std::string>{"prog.bin", "prog.hex", "tarlek.bin"}));
}

}  // namespace
}  // namespace tarlek::testing
