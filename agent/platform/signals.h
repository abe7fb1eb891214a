#pragma once
// Stop signals: the handler for SIGINT and SIGTERM that asks a watch loop to end.
//
// The handler is async-signal-safe: it clears the loop's atomic running flag, counts one stop
// line owed, and writes one byte to a non-blocking self-pipe (saving errno). Everything
// else, printing the line included, happens on the loop's own thread, which polls the pipe
// while it waits (see wait.h) and takes the owed count with take_owed_lines().

#include <atomic>
#include <string>

namespace pelmora {

// The platform identifier of this build ("linux" here); "win32" would leave SIGTERM alone.
std::string platform_identifier();

// Installing and restoring the stop handler. Used from one thread only.
class StopSignals {
 public:
  virtual ~StopSignals() = default;
  // Saves the current SIGINT handler and installs the stop handler for it; when
  // `with_sigterm`, does the same for SIGTERM. From then on each signal stores false in
  // `running` (which must outlive restore()) and owes one stop line.
  // Throws: std::system_error when a handler cannot be read or installed (nothing is left
  // installed then).
  virtual void install(std::atomic<bool>& running, bool with_sigterm) = 0;
  // Puts the saved handlers back (SIGINT first, then SIGTERM if it was saved). Idempotent.
  virtual void restore() = 0;
  // The read end of the self-pipe for a WakeHook; -1 when there is none.
  virtual int wake_fd() const = 0;
  // The number of stop lines owed since the last call, reset to zero; drains the pipe.
  virtual int take_owed_lines() = 0;
};

// The process's real signal handling (sigaction with SA_RESTART). The handler is
// process-wide, so one installation at a time: install() while installed throws
// std::logic_error.
StopSignals& system_stop_signals();

}  // namespace pelmora
