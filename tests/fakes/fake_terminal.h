#pragma once
// A terminal for tests: output is collected in a string, answers come from a script. An
// answer may carry an action that runs while the question waits (a signal arriving), after
// which the wait's wake hook runs as the real terminal would run it.

#include <cerrno>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "agent/platform/terminal.h"

namespace pelmora::testing {

class FakeTerminal : public Terminal {
 public:
  std::string output;
  // When set, every write fails as a closed pipe would.
  bool broken_output = false;
  // How often a line was asked for.
  int reads = 0;

  // Queues one answer line (without its line break).
  void answer(std::string line, std::function<void()> while_waiting = {}) {
    inputs_.push_back({std::move(while_waiting), std::move(line)});
  }
  // Queues the end of input (also what every read gives once the queue is empty).
  void end_of_input(std::function<void()> while_waiting = {}) {
    inputs_.push_back({std::move(while_waiting), std::nullopt});
  }
  size_t pending() const { return inputs_.size(); }

  void write(std::string_view text) override {
    if (broken_output) throw std::system_error(EPIPE, std::generic_category(), "write");
    output.append(text);
  }

  std::optional<std::string> read_line(const WakeHook& wake) override {
    ++reads;
    if (inputs_.empty()) return std::nullopt;
    Input next = std::move(inputs_.front());
    inputs_.pop_front();
    if (next.while_waiting) {
      next.while_waiting();
      if (wake.on_wake) wake.on_wake();
    }
    return next.line;
  }

  // The output collected so far, then cleared.
  std::string take() {
    std::string out;
    out.swap(output);
    return out;
  }

 private:
  struct Input {
    std::function<void()> while_waiting;
    std::optional<std::string> line;
  };
  std::deque<Input> inputs_;
};

}  // namespace pelmora::testing
