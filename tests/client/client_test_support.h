#pragma once
// Helpers shared by the client tests: environment guards and a clock that records pauses.

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "agent/platform/clock.h"

namespace pelmora::testing {

// Sets or unsets environment variables for one test and puts the old values back.
class EnvGuard {
 public:
  EnvGuard() {
    for (const char* name : {"PELMORA_API_KEY", "GATEWAY_API_KEY", "PELMORA_API_URL"}) unset(name);
  }
  ~EnvGuard() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

  void set(const std::string& name, const std::string& value) {
    _save(name);
    ::setenv(name.c_str(), value.c_str(), 1);
  }
  void unset(const std::string& name) {
    _save(name);
    ::unsetenv(name.c_str());
  }

 private:
  void _save(const std::string& name) {
    if (saved_.count(name)) return;
    const char* value = std::getenv(name.c_str());
    saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

// A clock whose sleeps return at once and are recorded.
class RecordingClock : public Clock {
 public:
  double monotonic() override { return now; }
  double wall() override { return 1.7e9 + now; }
  void sleep(double seconds) override {
    sleeps.push_back(seconds);
    if (seconds > 0) now += seconds;
  }
  double now = 0.0;
  std::vector<double> sleeps;
};

}  // namespace pelmora::testing
