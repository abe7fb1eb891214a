// The real stop handler (sigaction, self-pipe, owed lines) and the interruptible sleeper.
#include "agent/platform/signals.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "agent/platform/wait.h"

namespace pelmora {
namespace {

volatile sig_atomic_t g_previous_calls = 0;
extern "C" void previous_handler(int) { g_previous_calls = g_previous_calls + 1; }

// Installs previous_handler for `sig` for the life of the object, then puts back the old one.
class PreviousHandler {
 public:
  explicit PreviousHandler(int sig) : sig_(sig) {
    struct sigaction action {};
    action.sa_handler = previous_handler;
    sigemptyset(&action.sa_mask);
    sigaction(sig_, &action, &old_);
  }
  ~PreviousHandler() { sigaction(sig_, &old_, nullptr); }
  static bool is_current(int sig) {
    struct sigaction now {};
    sigaction(sig, nullptr, &now);
    return now.sa_handler == previous_handler;
  }

 private:
  int sig_;
  struct sigaction old_ {};
};

bool readable(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  return poll(&pfd, 1, 0) == 1;
}

TEST(StopSignals, EachSignalClearsTheFlagOwesALineAndWakes) {
  PreviousHandler int_before(SIGINT);
  PreviousHandler term_before(SIGTERM);
  StopSignals& signals = system_stop_signals();
  std::atomic<bool> running{true};
  signals.install(running, true);
  EXPECT_FALSE(PreviousHandler::is_current(SIGINT));
  EXPECT_FALSE(PreviousHandler::is_current(SIGTERM));
  ASSERT_GE(signals.wake_fd(), 0);
  EXPECT_FALSE(readable(signals.wake_fd()));

  raise(SIGINT);
  EXPECT_FALSE(running.load());
  EXPECT_TRUE(readable(signals.wake_fd()));
  raise(SIGTERM);
  raise(SIGINT);
  EXPECT_EQ(signals.take_owed_lines(), 3);
  EXPECT_FALSE(readable(signals.wake_fd()));  // drained
  EXPECT_EQ(signals.take_owed_lines(), 0);

  signals.restore();
  EXPECT_TRUE(PreviousHandler::is_current(SIGINT));
  EXPECT_TRUE(PreviousHandler::is_current(SIGTERM));
  g_previous_calls = 0;
  raise(SIGINT);
  EXPECT_EQ(g_previous_calls, 1);
  signals.restore();  // idempotent
}

TEST(StopSignals, WithoutSigtermLeavesItsHandlerAlone) {
  PreviousHandler term_before(SIGTERM);
  std::atomic<bool> running{true};
  system_stop_signals().install(running, false);
  EXPECT_TRUE(PreviousHandler::is_current(SIGTERM));
  EXPECT_THROW(system_stop_signals().install(running, false), std::logic_error);
  system_stop_signals().restore();
  EXPECT_TRUE(running.load());
}

TEST(StopSignals, HandlerKeepsErrnoAndRestartsInterruptedReads) {
  std::atomic<bool> running{true};
  system_stop_signals().install(running, true);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pthread_t reader = pthread_self();
  std::thread sender([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pthread_kill(reader, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const char byte = 'x';
    ASSERT_EQ(write(fds[1], &byte, 1), 1);
  });
  char got = 0;
  errno = 0;
  // SA_RESTART: the read is resumed after the handler, not failed with EINTR.
  EXPECT_EQ(read(fds[0], &got, 1), 1);
  EXPECT_EQ(errno, 0);
  sender.join();
  EXPECT_EQ(got, 'x');
  EXPECT_FALSE(running.load());
  EXPECT_EQ(system_stop_signals().take_owed_lines(), 1);
  system_stop_signals().restore();
  close(fds[0]);
  close(fds[1]);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(SystemSleeper, WakesForTheHookThenSleepsToTheSameDeadline) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int wakes = 0;
  double woke_at = 0;
  const auto start = std::chrono::steady_clock::now();
  WakeHook hook{fds[0], [&] {
                  char buf[8];
                  ASSERT_GT(read(fds[0], buf, sizeof buf), 0);
                  ++wakes;
                  woke_at = seconds_since(start);
                }};
  std::thread poke([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    ASSERT_EQ(write(fds[1], "x", 1), 1);
  });
  system_sleeper().sleep_for(0.25, hook);
  const double slept = seconds_since(start);
  poke.join();
  EXPECT_EQ(wakes, 1);
  EXPECT_LT(woke_at, 0.2);   // the hook ran promptly...
  EXPECT_GE(slept, 0.25);    // ...and the sleep still lasted its whole span
  EXPECT_LT(slept, 0.4);
  close(fds[0]);
  close(fds[1]);
}

TEST(SystemSleeper, NothingForZeroNegativeOrNaN) {
  const auto start = std::chrono::steady_clock::now();
  system_sleeper().sleep_for(0.0, {});
  system_sleeper().sleep_for(-1.0, {});
  system_sleeper().sleep_for(std::nan(""), {});
  EXPECT_LT(seconds_since(start), 0.05);
  system_sleeper().sleep_for(0.05, {});
  EXPECT_GE(seconds_since(start), 0.05);
}

}  // namespace
}  // namespace pelmora
