#include "agent/platform/clock.h"

#include <cerrno>
#include <cmath>
#include <ctime>

namespace pelmora {
namespace {

double read_clock(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

class SystemClock final : public Clock {
 public:
  double monotonic() override { return read_clock(CLOCK_MONOTONIC); }
  double wall() override { return read_clock(CLOCK_REALTIME); }
  void sleep(double seconds) override {
    if (!(seconds > 0.0) || !std::isfinite(seconds)) return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    double whole = std::floor(seconds);
    timespec deadline{};
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(whole);
    deadline.tv_nsec = now.tv_nsec + static_cast<long>((seconds - whole) * 1e9);
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
  }
};

}  // namespace

Clock& system_clock() {
  static SystemClock clock;
  return clock;
}

double wall_clock_now() { return read_clock(CLOCK_REALTIME); }

}  // namespace pelmora
