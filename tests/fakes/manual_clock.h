#pragma once
// A clock for tests of code with threads of its own: time moves only when the test moves it
// (or something sleeps on it, which moves it at once instead of waiting). Thread-safe.

#include <mutex>

#include "agent/platform/clock.h"

namespace pelmora::testing {

class ManualClock : public Clock {
 public:
  explicit ManualClock(double monotonic_start = 1000.0, double wall_start = 1.7e9)
      : monotonic_(monotonic_start), wall_(wall_start) {}

  double monotonic() override {
    std::lock_guard lock(mutex_);
    return monotonic_;
  }
  double wall() override {
    std::lock_guard lock(mutex_);
    return wall_;
  }
  void sleep(double seconds) override { advance(seconds); }

  // Moves both clocks on by `seconds` (nothing for zero or less).
  void advance(double seconds) {
    if (!(seconds > 0.0)) return;
    std::lock_guard lock(mutex_);
    monotonic_ += seconds;
    wall_ += seconds;
  }

 private:
  std::mutex mutex_;
  double monotonic_;
  double wall_;
};

}  // namespace pelmora::testing
