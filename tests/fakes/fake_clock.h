#pragma once
// A clock for tests: time moves only when something sleeps on it, and actions scheduled at
// a monotonic time run when a sleep passes that time (followed by the sleep's wake hook,
// as a real signal would wake the real sleeper).

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "agent/platform/clock.h"
#include "agent/platform/wait.h"

namespace pelmora::testing {

class FakeClock : public Clock, public Sleeper {
 public:
  double now = 1000.0;
  double wall_now = 1.7e9;
  // Every pause asked for, in seconds, in order.
  std::vector<double> sleeps;
  // Called at the start of every pause with its length.
  std::function<void(double)> on_sleep;

  // Runs `action` when a pause passes monotonic time `when` (at once if a pause starts after
  // it).
  void at(double when, std::function<void()> action) {
    scheduled_.emplace_back(when, std::move(action));
  }

  double monotonic() override { return now; }
  double wall() override { return wall_now; }
  void sleep(double seconds) override { sleep_for(seconds, WakeHook{}); }

  void sleep_for(double seconds, const WakeHook& wake) override {
    sleeps.push_back(seconds);
    if (on_sleep) on_sleep(seconds);
    if (!(seconds > 0.0)) return;
    const double end = now + seconds;
    for (;;) {
      auto due = std::min_element(scheduled_.begin(), scheduled_.end(),
                                  [](const auto& a, const auto& b) { return a.first < b.first; });
      if (due == scheduled_.end() || due->first > end) break;
      now = std::max(now, due->first);
      auto action = std::move(due->second);
      scheduled_.erase(due);
      action();
      if (wake.on_wake) wake.on_wake();
    }
    now = end;
    wall_now += seconds;
  }

  // The number of pauses of exactly `seconds`.
  long count(double seconds) const { return std::count(sleeps.begin(), sleeps.end(), seconds); }

 private:
  std::vector<std::pair<double, std::function<void()>>> scheduled_;
};

}  // namespace pelmora::testing
