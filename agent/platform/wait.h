#pragma once
// Interruptible waiting: sleeps on the monotonic clock that stay responsive to the stop
// self-pipe, so that work owed to a signal (printing the stop line) is done on the waiting
// thread as soon as the signal arrives, after which the wait resumes.

#include <functional>

namespace pelmora {

// What a blocking wait listens to besides its own event. When `fd` (the read end of a
// self-pipe; -1 for none) becomes readable, the wait calls `on_wake` and goes on waiting.
// `on_wake` must drain the pipe, or the wait calls it again at once.
struct WakeHook {
  int fd = -1;
  std::function<void()> on_wake;
};

// Sleeping for a span of the monotonic clock.
class Sleeper {
 public:
  virtual ~Sleeper() = default;
  // Sleeps until `seconds` have passed on the monotonic clock (nothing for zero, less, or
  // NaN), measured to an absolute deadline taken at the call, so signals and wake-ups do not
  // stretch it. Throws: whatever `wake.on_wake` throws.
  virtual void sleep_for(double seconds, const WakeHook& wake) = 0;
};

// The real sleeper: ppoll(2) on the hook's fd with the time left to the CLOCK_MONOTONIC
// deadline (clock_nanosleep with TIMER_ABSTIME when there is no fd). Safe from any thread.
Sleeper& system_sleeper();

}  // namespace pelmora
