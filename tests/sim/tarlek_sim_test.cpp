// tarlek-sim without the simulator: what it learns from a merged program's
// resident (page, crystal, baud rate, baud timer, hence s51's CPU model), how
// it refuses a program without one, or a machine without s51, and that a
// stand-in simulator never outlives it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/address_space.h"
#include "base/resident_facts.h"
#include "protocol/frame.h"
#include "sim/resident_probe.h"
#include "sim/simulator.h"
#include "support/test_support.h"

namespace tarlek::sim {
namespace {

using testing::Bytes;
using testing::TempDir;

// A program as tarlek leaves it: the hooks to the page, the resident image
// file's code relocated there (flagged bytes get the page added).
std::vector<uint8_t> Merged(const Bytes& resident_file, uint8_t page) {
  std::vector<uint8_t> code(kAddressSpaceSize, 0);
  testing::LayHooks(code, page);
  const size_t n = resident_file[0] | size_t{resident_file[1]} << 8;
  for (size_t i = 0; i < n; ++i) {
    code[(size_t{page} << 8) + i] =
        static_cast<uint8_t>(resident_file[2 + n + i] + resident_file[2 + i] * page);
  }
  return code;
}

// A hand-made resident at page 90h: LJMP to its init at 9010h, the init as
// given, and an identify answer at 9040h for the crystal and baud rate.
std::vector<uint8_t> HandMade(const Bytes& init, uint32_t clock, uint32_t baud) {
  std::vector<uint8_t> code(kAddressSpaceSize, 0);
  testing::LayHooks(code, 0x90);
  const Bytes start = {resident::kOpcodeLjmp, 0x90, 0x10};
  std::copy(start.begin(), start.end(), code.begin() + 0x9000);
  std::copy(init.begin(), init.end(), code.begin() + 0x9010);
  const Bytes id = protocol::EncodeIdentifyPayload(
      {3, 3, 0, 0, 0x90, clock, baud, 0xFF, resident::kCommandsOffered});
  std::copy(id.begin(), id.end(), code.begin() + 0x9040);
  return code;
}

TEST(ResidentProbe, LearnsTheBuildOfTheShippedResidentAtAnyPage) {
  const Bytes resident = testing::ReadFile(std::string(TARLEK_SOURCE_DIR) + "/resident/tarlek.bin");
  for (const uint8_t page : {uint8_t{0x10}, uint8_t{0x80}, uint8_t{0xA0}}) {
    std::string why;
    const auto build = ProbeResident(Merged(resident, page), &why);
    ASSERT_TRUE(build) << why;
    EXPECT_EQ(*build, (ResidentBuild{page, 11059200, 9600, 1})) << int{page};
    EXPECT_STREQ(CpuForTimer(build->timer), "8051");
  }
}

TEST(ResidentProbe, TellsTheBaudTimerFromTheInit) {
  const struct {
    Bytes init;
    int timer;
  } cases[] = {
      // The timer 2 init: MOV T2CON,#0; MOV RCAP2H,#FFh ...
      {{0x75, 0xC8, 0x00, 0x75, 0xCB, 0xFF, 0x75, 0xCA, 0xFD, 0x22}, 2},
      // The timer 1 init: ANL TMOD,#0Fh; ORL TMOD,#20h; MOV TH1,#FDh ...
      {{0x53, 0x89, 0x0F, 0x43, 0x89, 0x20, 0x75, 0x8D, 0xFD, 0x22}, 1},
      // Neither: the caller must be told.
      {{0x75, 0x98, 0x50, 0xD2, 0xAC, 0x22}, 0},
  };
  for (const auto& c : cases) {
    std::string why;
    const auto build = ProbeResident(HandMade(c.init, 22118400, 115200), &why);
    ASSERT_TRUE(build) << why;
    EXPECT_EQ(*build, (ResidentBuild{0x90, 22118400, 115200, c.timer}));
  }
  EXPECT_STREQ(CpuForTimer(2), "8052");
}

TEST(ResidentProbe, RefusesAProgramWithoutAResident) {
  std::vector<uint8_t> unmerged(kAddressSpaceSize, 0);
  unmerged[0] = resident::kOpcodeLjmp;  // an ordinary program's reset vector
  std::vector<uint8_t> empty_page = unmerged;
  testing::LayHooks(empty_page, 0x80);
  std::vector<uint8_t> no_identify = HandMade({0x22}, 0, 9600);
  const struct {
    std::vector<uint8_t> code;
    const char* message;
  } cases[] = {
      {unmerged, "no long call to a resident's page at 0000h"},
      {empty_page, "names page 80h, but no resident is there"},
      {no_identify, "holds no identify answer"},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_FALSE(ProbeResident(c.code, &why));
    EXPECT_NE(why.find(c.message), std::string::npos) << why;
  }
}

// An environment variable set for the scope of a test.
class EnvSetTo {
 public:
  EnvSetTo(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~EnvSetTo() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  EnvSetTo(const EnvSetTo&) = delete;
  EnvSetTo& operator=(const EnvSetTo&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// What a run printed on its output and as messages.
struct Captured {
  std::string out, err;
  SimIo io{[this](std::string_view t) {
             out += t;
             return true;
           },
           [this](std::string_view t) { err += t; }};
};

TEST(TarlekSim, WithoutTheSimulatorNamesThePackageToInstall) {
  TempDir dir;
  Captured run;
  SimOptions options;
  options.program = dir / "prog.hex";
  int status = 0;
  {
    const EnvSetTo path("PATH", dir.path());
    status = RunSimulator(options, run.io);
  }
  EXPECT_EQ(status, 1);
  EXPECT_EQ(run.err,
            "tarlek-sim: s51, the 8051 simulator, is not installed: sudo apt install "
            "sdcc-ucsim\n");
  EXPECT_EQ(run.out, "");
}

// A program tarlek-sim cannot run as it is: without a resident, or with one
// whose init sets up no baud timer it knows, and no --cpu to say which.
TEST(TarlekSim, RefusesWhatItCannotRunBeforeStartingTheSimulator) {
  const auto bytes_of = [](std::string_view text) { return Bytes(text.begin(), text.end()); };
  // The init: MOV SCON,#50h; SETB ES; RET.
  const std::vector<uint8_t> unknown_timer =
      HandMade({0x75, 0x98, 0x50, 0xD2, 0xAC, 0x22}, 22118400, 115200);
  const struct {
    const char* file;
    Bytes contents;
    const char* message;
  } cases[] = {
      {"prog.hex", bytes_of(":03000000020030CB\n:00000001FF\n"),
       "prog.hex: the program has no long call"},
      {"prog.bin", unknown_timer,
       "prog.bin: the resident's init sets up neither timer 1 nor timer 2 as tarlek-sim knows "
       "them: give --cpu (8051 for timer 1, 8052 for timer 2)\n"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    // A stand-in that would leave a mark if it were started.
    testing::WriteFile(dir / "s51", "#!/bin/sh\ntouch " + dir / "started" + "\n");
    ASSERT_EQ(::chmod((dir / "s51").c_str(), 0755), 0);
    testing::WriteFile(dir / c.file, c.contents);
    Captured run;
    SimOptions options;
    options.program = dir / c.file;
    options.s51 = dir / "s51";
    const EnvSetTo tmp("TMPDIR", dir.path());
    EXPECT_EQ(RunSimulator(options, run.io), 1) << c.file;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "") << c.file;
    EXPECT_FALSE(testing::FileExists(dir / "started")) << c.file;
  }
}

// Whether the process ends within the time given: its pidfd becomes readable
// when it does (a process already gone counts as ended).
bool Ends(pid_t pid, int timeout_ms) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return errno == ESRCH;
  pollfd pfd{fd, POLLIN, 0};
  const bool ended = ::poll(&pfd, 1, timeout_ms) == 1;
  ::close(fd);
  return ended;
}

// However tarlek-sim ends, the simulator does not run on without it: with
// no reader on its standard output when the port is printed, or with its
// standard output closed (it reports that, stops s51 and removes its
// directory), or killed outright.
TEST(TarlekSim, TheSimulatorEndsWithIt) {
  enum class End { kClosedOutput, kNoOutput, kKilled };
  for (const End end : {End::kClosedOutput, End::kNoOutput, End::kKilled}) {
    SCOPED_TRACE(end == End::kClosedOutput ? "no reader on standard output"
                 : end == End::kNoOutput   ? "standard output closed"
                                           : "SIGKILL");
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "tmp").c_str(), 0700), 0);
    // A stand-in for s51: it says who it is, waits for the go, opens its
    // serial input as s51 does, and then runs until something stops it.
    // With tarlek-sim's standard output closed it also ends by itself, with
    // status 3, should the port line turn up in its log (its standard error).
    const std::string run_on =
        end == End::kNoOutput
            ? "while ! grep -q TARLEK_PORT /proc/$$/fd/2; do sleep 0.05; done\nexit 3\n"
            : "exec sleep 600\n";
    testing::WriteFile(dir / "s51",
                       "#!/bin/sh\n"
                       "echo $$ >" +
                           dir / "s51.pid" +
                           "\n"
                           "for a; do case $a in in=*) rx=${a#in=}; rx=${rx%%,*};; esac; done\n"
                           "read go <" +
                           dir / "go" +
                           "\n"
                           "exec 3<>\"$rx\"\n" +
                           run_on);
    ASSERT_EQ(::chmod((dir / "s51").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo((dir / "go").c_str(), 0600), 0);
    testing::WriteFile(dir / "prog.hex", std::string(":03000000020030CB\n:00000001FF\n"));
    testing::ProcessOptions options;
    options.exe = TARLEK_SIM_EXE;
    options.close_output = end == End::kNoOutput;
    std::optional<testing::StartedProcess> started;
    {
      const EnvSetTo tmp("TMPDIR", dir / "tmp");
      started = testing::StartTarlekProcess(
          dir.path(), {"--s51", dir / "s51", "--cpu", "8051", "--clock", "11059200", "prog.hex"},
          options);
    }
    if (end == End::kClosedOutput) ::close(started->out_fd);
    // The go: read-write, so that this side never waits for the reader.
    const int go = ::open((dir / "go").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(go, 0);
    ASSERT_EQ(::write(go, "go\n", 3), 3);
    testing::RunResult result;
    if (end != End::kKilled) {
      if (end == End::kClosedOutput) started->out_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      result = testing::FinishTarlekProcess(*started);
      EXPECT_EQ(result.exit_status, 1) << "signal " << result.signal;
      EXPECT_NE(result.errors.find("tarlek-sim: cannot write the port on standard output: "),
                std::string::npos)
          << result.errors;
      if (end == End::kNoOutput) {
        EXPECT_NE(result.errors.find(std::strerror(EBADF)), std::string::npos) << result.errors;
      }
      EXPECT_TRUE(testing::DirectoryNames(dir / "tmp").empty());
    } else {
      // Killed once the port is printed: s51 runs then.
      std::string line;
      char c = 0;
      while (::read(started->out_fd, &c, 1) == 1 && c != '\n') line += c;
      EXPECT_EQ(line.rfind("export TARLEK_PORT=fifo:", 0), 0u) << line;
      ::kill(started->pid, SIGKILL);
      result = testing::FinishTarlekProcess(*started);
      EXPECT_EQ(result.signal, SIGKILL);
    }
    ::close(go);
    const pid_t s51 = std::stoi(testing::ReadText(dir / "s51.pid"));
    EXPECT_TRUE(Ends(s51, 10000)) << "the simulator runs on";
    ::kill(s51, SIGKILL);  // should it run on
  }
}

// The run blocks the signals it waits for and gives the caller its signal
// mask back however it ends: when s51 ends by itself, or cannot start.
TEST(TarlekSim, GivesBackTheSignalMask) {
  const struct {
    const char* name;
    std::string script;  // the stand-in for s51
    const char* message;
  } cases[] = {
      {"s51 ends",
       "#!/bin/sh\n"
       "for a; do case $a in in=*) rx=${a#in=}; rx=${rx%%,*};; esac; done\n"
       "exec 3<>\"$rx\"\n"
       "exit 0\n",
       "tarlek-sim: s51 ended with status 0"},
      {"s51 cannot start", "#!/nonexistent/interpreter\n", "tarlek-sim: cannot start "},
  };
  sigset_t before;
  ASSERT_EQ(::sigprocmask(SIG_SETMASK, nullptr, &before), 0);
  for (const auto& c : cases) {
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "tmp").c_str(), 0700), 0);
    testing::WriteFile(dir / "s51", c.script);
    ASSERT_EQ(::chmod((dir / "s51").c_str(), 0755), 0);
    testing::WriteFile(dir / "prog.hex", std::string(":03000000020030CB\n:00000001FF\n"));
    Captured run;
    SimOptions options;
    options.program = dir / "prog.hex";
    options.s51 = dir / "s51";
    options.cpu = "8051";
    options.clock_hz = 11059200;
    options.quiet = true;
    int status = 0;
    {
      const EnvSetTo tmp("TMPDIR", dir / "tmp");
      status = RunSimulator(options, run.io);
    }
    EXPECT_EQ(status, 1) << c.name;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.name << ": " << run.err;
    sigset_t after;
    ASSERT_EQ(::sigprocmask(SIG_SETMASK, &before, &after), 0);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
      EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig)) << c.name << ": " << sig;
    }
    EXPECT_TRUE(testing::DirectoryNames(dir / "tmp").empty()) << c.name;
  }
}

TEST(TarlekSim, ShellWordsAreQuotedOnlyWhenTheyMustBe) {
  EXPECT_EQ(ShellWord("fifo:/tmp/tarlek-sim-Ab12/rx,/tmp/tarlek-sim-Ab12/tx"),
            "fifo:/tmp/tarlek-sim-Ab12/rx,/tmp/tarlek-sim-Ab12/tx");
  EXPECT_EQ(ShellWord("fifo:/my tmp/rx"), "'fifo:/my tmp/rx'");
  EXPECT_EQ(ShellWord("it's"), "'it'\\''s'");
}

}  // namespace
}  // namespace tarlek::sim
