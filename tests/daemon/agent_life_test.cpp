// The watch options for living with the agent: --for (heavy_for), --mine, and --stop-local
// (stop_local), on fakes, and stop_local against real processes of this machine.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/daemon/daemon_harness.h"

namespace pelmora::testing {
namespace {

// A process held open by the stop flow: it records the signals and ends on the first one
// it does not ignore.
class FakeOpened : public OpenedProcess {
 public:
  explicit FakeOpened(std::vector<int>& sent, bool ignores_sigterm)
      : sent_(sent), ignores_sigterm_(ignores_sigterm) {}
  int pid() const override { return 4242; }
  int send(int sig) override {
    sent_.push_back(sig);
    if (!(sig == SIGTERM && ignores_sigterm_)) ended_ = true;
    return 0;
  }
  bool ended() override { return ended_; }

 private:
  std::vector<int>& sent_;
  bool ignores_sigterm_;
  bool ended_ = false;
};

// The pids handled (blocks printed) at each of `ticks` ticks, one tick every 2 seconds.
std::vector<std::vector<int>> handled_per_tick(Harness& h, int ticks,
                                               const std::function<void(int)>& before_tick) {
  std::vector<std::vector<int>> out;
  for (int t = 0; t < ticks; ++t) {
    before_tick(t);
    h.terminal.output.clear();
    h.daemon->_tick();
    std::vector<int> pids;
    for (size_t at = h.terminal.output.find("  ["); at != std::string::npos;
         at = h.terminal.output.find("  [", at + 1)) {
      pids.push_back(std::atoi(h.terminal.output.c_str() + at + 3));
    }
    out.push_back(pids);
    h.clock.now += 2.0;
  }
  return out;
}

TEST(HeavyFor, OnlyAnUnbrokenRunOfHeavyScansAsLongAsAskedIsOffered) {
  TempDir dir;
  const std::string script = dir.file("x.py", "pass\n");
  Harness h{{.heavy_for = 3.0}};
  // 10 stays heavy; 20 spikes at one scan of two; 30 is heavy throughout but its pid is
  // taken by a new process (another start time) at the third scan.
  const auto result = handled_per_tick(h, 5, [&](int t) {
    h.table.processes.clear();
    h.table.processes.push_back(heavy_python(10, script));
    if (t % 2 == 0) h.table.processes.push_back(heavy_python(20, script));
    h.table.processes.push_back(heavy_python(30, script));
    if (t >= 2) h.table.processes.back().create_time = 1.8e9;
  });
  EXPECT_EQ(result, (std::vector<std::vector<int>>{{}, {}, {10}, {10}, {10, 30}}));
  // Ended processes leave the bookkeeping: the map holds what the last scan found heavy.
  h.table.processes.clear();
  h.daemon->_tick();
  EXPECT_TRUE(h.daemon->_heavy_since.empty());
}

TEST(HeavyFor, ZeroOffersAtTheFirstScanAndMineLeavesOtherUsersOut) {
  TempDir dir;
  const std::string script = dir.file("x.py", "pass\n");
  for (const bool mine : {false, true}) {
    Harness h{{.mine = mine}};
    FakeProcess own = heavy_python(10, script);
    own.username = user_name_of(static_cast<std::uint32_t>(::getuid()));
    FakeProcess other = heavy_python(11, script);
    other.username = "someone-else";
    h.table.processes = {own, other};
    const auto result = handled_per_tick(h, 1, [](int) {});
    EXPECT_EQ(result[0], mine ? std::vector<int>{10} : (std::vector<int>{10, 11})) << mine;
    EXPECT_TRUE(h.daemon->_heavy_since.empty());
  }
}

class StopLocalTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string script = dir.file("x.py", "pass\n");
  Harness h{{.auto_offload = true, .stop_local = true, .stop_grace = 4.0}};
  std::vector<int> sent;

  ProcessInfo detected() {
    ProcessInfo proc = detection(4242, script);
    proc.cmdline = {"python3", script, "60"};
    proc.create_time = 1.7e9;
    return proc;
  }
};

TEST_F(StopLocalTest, TheProcessEndsAfterTheSubmissionWithOneLine) {
  h.table.opener = [&](int, double, std::uint32_t) {
    return ProcessOpening{OpenStatus::opened, 0, std::make_unique<FakeOpened>(sent, false)};
  };
  h.daemon->_handle(detected());
  EXPECT_TRUE(h.terminal.output.ends_with(
      "    Logs:        pelmora logs job-7f3a --follow\n"
      "    Stopped local process 4242 (python3 " + script + " 60).\n\n"))
      << h.terminal.output;
  EXPECT_EQ(sent, std::vector<int>{SIGTERM});
  ASSERT_EQ(h.table.opens.size(), 1u);
  EXPECT_EQ(h.table.opens[0].pid, 4242);
  EXPECT_EQ(h.table.opens[0].create_time, 1.7e9);
  EXPECT_EQ(h.table.opens[0].uid, static_cast<std::uint32_t>(::getuid()));
  EXPECT_TRUE(h.daemon->_offloaded.contains(4242));
}

TEST_F(StopLocalTest, SigkillFollowsWhenSigtermIsIgnoredForTheGracePeriod) {
  h.table.opener = [&](int, double, std::uint32_t) {
    return ProcessOpening{OpenStatus::opened, 0, std::make_unique<FakeOpened>(sent, true)};
  };
  const double start = h.clock.now;
  h.daemon->_handle(detected());
  EXPECT_EQ(sent, (std::vector<int>{SIGTERM, SIGKILL}));
  EXPECT_GE(h.clock.now - start, 4.0);
  EXPECT_NE(h.terminal.output.find("    Stopped local process 4242 (python3 " + script +
                                   " 60) with SIGKILL: it was still running 4.0 s after "
                                   "SIGTERM.\n\n"),
            std::string::npos)
      << h.terminal.output;
}

TEST_F(StopLocalTest, NothingIsSignalledUnlessTheProcessIsStillTheOneDetected) {
  const struct {
    OpenStatus status;
    int error;
    const char* line;
  } cases[] = {
      {OpenStatus::replaced, 0, "had already ended.\n\n"},
      {OpenStatus::gone, 0, "had already ended.\n\n"},
      {OpenStatus::other_user, 0, "running: it belongs to another user.\n\n"},
      {OpenStatus::failed, EPERM, ": Operation not permitted.\n\n"},
  };
  for (const auto& c : cases) {
    Harness one{{.auto_offload = true, .stop_local = true}};
    one.table.opener = [&](int, double, std::uint32_t) { return ProcessOpening{c.status, c.error, nullptr}; };
    one.daemon->_handle(detected());
    EXPECT_TRUE(one.terminal.output.ends_with(c.line)) << one.terminal.output;
    EXPECT_TRUE(one.daemon->_offloaded.contains(4242));
  }
}

TEST_F(StopLocalTest, AFailedSubmissionNeverTouchesTheProcess) {
  h.next_error = "No API key.";
  h.table.opener = [&](int, double, std::uint32_t) {
    return ProcessOpening{OpenStatus::opened, 0, std::make_unique<FakeOpened>(sent, false)};
  };
  h.daemon->_handle(detected());
  EXPECT_TRUE(h.table.opens.empty());
  EXPECT_TRUE(sent.empty());
  EXPECT_TRUE(h.terminal.output.ends_with("    Submission failed: No API key.\n\n"));
}

// A real process of this machine, checked under its pid with another start time (as when
// the detected process ended and a new one took its pid): it is never signalled.
TEST_F(StopLocalTest, ARealProcessWhosePidWasTakenIsLeftAlone) {
  const pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(child, 0);
  std::optional<double> started;
  linux_process_table().for_each_process([&](ProcessHandle& handle) {
    if (handle.pid() == child) started = handle.create_time();
  });
  ASSERT_TRUE(started.has_value());
  h.table.opener = [](int pid, double create_time, std::uint32_t uid) {
    return linux_process_table().open_process(pid, create_time, uid);
  };
  ProcessInfo proc = detected();
  proc.pid = child;
  proc.create_time = *started - 1.0;  // the process detected started a second earlier
  h.daemon->_handle(proc);
  EXPECT_TRUE(h.terminal.output.ends_with("had already ended.\n\n")) << h.terminal.output;
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, WNOHANG), 0) << "the process was signalled";

  // The same process under its own start time is stopped, and only then.
  Harness again{{.auto_offload = true, .stop_local = true}};
  again.table.opener = h.table.opener;
  // The real process takes real time to go.
  again.clock.on_sleep = [](double seconds) { usleep(static_cast<useconds_t>(seconds * 1e6)); };
  proc.create_time = *started;
  again.daemon->_handle(proc);
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_NE(again.terminal.output.find("    Stopped local process " + std::to_string(child) +
                                       " (python3 " + script + " 60).\n\n"),
            std::string::npos)
      << again.terminal.output;
}

}  // namespace
}  // namespace pelmora::testing
