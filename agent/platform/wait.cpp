#include "agent/platform/wait.h"

#include <poll.h>

#include <cerrno>
#include <cmath>
#include <ctime>

namespace pelmora {
namespace {

constexpr long kNanos = 1000000000L;

timespec now_monotonic() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

timespec add_seconds(timespec base, double seconds) {
  const double whole = std::floor(seconds);
  timespec out{};
  out.tv_sec = base.tv_sec + static_cast<time_t>(whole);
  out.tv_nsec = base.tv_nsec + static_cast<long>((seconds - whole) * 1e9);
  if (out.tv_nsec >= kNanos) {
    out.tv_sec += 1;
    out.tv_nsec -= kNanos;
  }
  return out;
}

// deadline - now, or nullopt-like {-1, 0} when the deadline has passed.
bool time_left(const timespec& deadline, timespec& left) {
  const timespec now = now_monotonic();
  left.tv_sec = deadline.tv_sec - now.tv_sec;
  left.tv_nsec = deadline.tv_nsec - now.tv_nsec;
  if (left.tv_nsec < 0) {
    left.tv_sec -= 1;
    left.tv_nsec += kNanos;
  }
  return left.tv_sec > 0 || (left.tv_sec == 0 && left.tv_nsec > 0);
}

class SystemSleeper final : public Sleeper {
 public:
  void sleep_for(double seconds, const WakeHook& wake) override {
    if (!(seconds > 0.0)) return;
    // A span too long for time_t is as good as forever for a watch loop.
    const double capped = std::isfinite(seconds) ? std::fmin(seconds, 1e9) : 1e9;
    const timespec deadline = add_seconds(now_monotonic(), capped);
    if (wake.fd < 0) {
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
      }
      return;
    }
    timespec left{};
    while (time_left(deadline, left)) {
      pollfd pfd{wake.fd, POLLIN, 0};
      const int ready = ppoll(&pfd, 1, &left, nullptr);
      if (ready < 0 && errno != EINTR) {
        // The fd cannot be polled: finish the span as a plain sleep.
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
        }
        return;
      }
      if (ready > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0 && wake.on_wake) {
        wake.on_wake();
      }
      // ready == 0: the deadline has come; ready < 0: EINTR, the byte is in the pipe now.
    }
  }
};

}  // namespace

Sleeper& system_sleeper() {
  static SystemSleeper sleeper;
  return sleeper;
}

}  // namespace pelmora
