// The support layer's own promises, where a test that relies on them would
// otherwise pass for the wrong reason.
#include "support/test_support.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace tarlek::testing {
namespace {

// A child that kept root's supplementary groups could still open files of
// those groups, and the permission cases would pass whatever the tool did.
// The switch is made from a process that has such a group.
TEST(RunAsNobody, LeavesNoPrivilegeBehind) {
  const std::optional<User> nobody = Nobody();
  if (!nobody) GTEST_SKIP() << "cannot switch to an unprivileged user";
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const gid_t groups[] = {0, 4243};
    if (::setgroups(2, groups) != 0) ::_exit(1);
    const NobodyRun run = RunAsNobody([] {
      return std::to_string(::getuid()) + " " + std::to_string(::geteuid()) + " " +
             std::to_string(::getgid()) + " " + std::to_string(::getegid()) + " " +
             std::to_string(::getgroups(0, nullptr));
    });
    const std::string report = run.switched ? run.report : "not switched";
    ::_exit(::write(pipe_fds[1], report.data(), report.size()) ==
                    static_cast<ssize_t>(report.size())
                ? 0
                : 1);
  }
  ::close(pipe_fds[1]);
  const std::string report = Drain(pipe_fds[0]);
  ::close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::string uid = std::to_string(nobody->uid);
  const std::string gid = std::to_string(nobody->gid);
  EXPECT_EQ(report, uid + " " + uid + " " + gid + " " + gid + " 0");
}

}  // namespace
}  // namespace tarlek::testing
