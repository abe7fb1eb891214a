#pragma once
// Clocks and sleeping, behind an interface so that tests run pauses without waiting.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pelmora {

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds on a clock that never goes back (CLOCK_MONOTONIC).
  virtual double monotonic() = 0;
  // Seconds since the Unix epoch.
  virtual double wall() = 0;
  // Sleeps for `seconds` (fractional; nothing for zero or less). Resumes after a signal
  // until the whole time has passed.
  virtual void sleep(double seconds) = 0;
};

// Waits on `changed`, with `lock` held, until `done()` holds or `seconds` have passed on
// `clock`'s monotonic time. A clock that a test drives moves without notifying anyone, so
// the clock is read again at least every `tick` seconds of real time. Returns done().
template <class Done>
bool wait_on_clock(Clock& clock, std::condition_variable& changed, std::unique_lock<std::mutex>& lock,
                   double seconds, double tick, Done done) {
  const double until = clock.monotonic() + seconds;
  while (!done()) {
    double left = until - clock.monotonic();
    if (!(left > 0.0)) return false;
    changed.wait_for(lock, std::chrono::duration<double>(std::min(left, tick)));
  }
  return true;
}

// The real clocks of this machine. Safe to use from any thread.
Clock& system_clock();

// Seconds since the Unix epoch, with sub-second precision (CLOCK_REALTIME). Thread-safe.
double wall_clock_now();

}  // namespace pelmora
