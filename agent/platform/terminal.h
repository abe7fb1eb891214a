#pragma once
// The console the agent talks to: text out, one answer line in.

#include <optional>
#include <string>
#include <string_view>

#include "agent/platform/wait.h"

namespace pelmora {

class Terminal {
 public:
  virtual ~Terminal() = default;
  // Writes `text` at once (no buffering left behind).
  // Throws: std::system_error when the output cannot be written.
  virtual void write(std::string_view text) = 0;
  // One line of input without its line break; the last line of the input also when it has
  // no line break. nullopt at the end of input. Text typed after the line is kept for the
  // next call. While it waits, each wake-up of `wake` runs `wake.on_wake`, then the wait
  // goes on.
  // Throws: std::system_error for a read failure other than the end of input; whatever
  // `wake.on_wake` throws.
  virtual std::optional<std::string> read_line(const WakeHook& wake) = 0;
};

// A terminal on two file descriptors: write(2) to `out_fd` (retrying EINTR and short
// writes) and a read(2) line buffer on `in_fd`, polled together with the wake fd. A closed
// or invalid input descriptor counts as the end of input. Not thread-safe.
class FdTerminal final : public Terminal {
 public:
  FdTerminal(int in_fd, int out_fd) : in_fd_(in_fd), out_fd_(out_fd) {}
  void write(std::string_view text) override;
  std::optional<std::string> read_line(const WakeHook& wake) override;

 private:
  int in_fd_;
  int out_fd_;
  std::string buffer_;
  bool at_end_ = false;
};

// The process's terminal: FdTerminal on fd 0 and fd 1. Whoever else writes to standard
// output through stdio must flush before handing over to it.
Terminal& standard_terminal();

}  // namespace pelmora
