#pragma once
// Clocks and sleeping, behind an interface so that tests run pauses without waiting.

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

// The real clocks of this machine. Safe to use from any thread.
Clock& system_clock();

// Seconds since the Unix epoch, with sub-second precision (CLOCK_REALTIME). Thread-safe.
double wall_clock_now();

}  // namespace pelmora
