// Opening a real process to signal it: only the process with the start time and owner
// asked for, through a pidfd that stays with it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

#include <gtest/gtest.h>

#include "agent/platform/process_table.h"

namespace pelmora {
namespace {

TEST(OpenProcess, OnlyTheProcessWithTheStartTimeAndOwnerAskedFor) {
  const pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(child, 0);
  ProcessTable& table = linux_process_table();
  std::optional<double> started;
  table.for_each_process([&](ProcessHandle& handle) {
    if (handle.pid() == child) started = handle.create_time();
  });
  ASSERT_TRUE(started.has_value());
  const auto uid = static_cast<std::uint32_t>(::getuid());

  EXPECT_EQ(table.open_process(child, *started + 0.01, uid).status, OpenStatus::replaced);
  EXPECT_EQ(table.open_process(child, *started - 5.0, uid).status, OpenStatus::replaced);
  EXPECT_EQ(table.open_process(child, *started, uid + 1).status, OpenStatus::other_user);
  EXPECT_EQ(table.open_process(child, 0.0, uid).status, OpenStatus::failed);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, WNOHANG), 0);

  ProcessOpening opening = table.open_process(child, *started, uid);
  ASSERT_EQ(opening.status, OpenStatus::opened);
  ASSERT_NE(opening.process, nullptr);
  EXPECT_FALSE(opening.process->ended());
  EXPECT_EQ(opening.process->send(SIGTERM), 0);
  // Our own child stays a zombie until it is reaped; a zombie has ended.
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT), 0);
  EXPECT_TRUE(opening.process->ended());
  EXPECT_EQ(table.open_process(child, *started, uid).status, OpenStatus::gone);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  // Reaped: the pidfd still names the ended process, never a later one with its pid.
  EXPECT_TRUE(opening.process->ended());
  EXPECT_EQ(opening.process->send(SIGKILL), ESRCH);
  EXPECT_EQ(table.open_process(child, *started, uid).status, OpenStatus::gone);
}

}  // namespace
}  // namespace pelmora
