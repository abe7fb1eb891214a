#pragma once
// Signals to one process, sent through a pid file descriptor (pidfd_open) so that they reach
// the very process that was checked, never another one that took its pid later.

#include <cstdint>
#include <memory>
#include <string>

namespace pelmora {

// One process held open to be signalled. Not thread-safe.
class OpenedProcess {
 public:
  virtual ~OpenedProcess() = default;
  virtual int pid() const = 0;
  // Sends `sig` to the process. 0, or the errno (ESRCH once the process has ended).
  virtual int send(int sig) = 0;
  // True once the process has ended (a zombie has ended).
  virtual bool ended() = 0;
};

// Why a process was or was not opened.
enum class OpenStatus {
  opened,      // `process` is set
  gone,        // no such process any more (or only its zombie)
  replaced,    // the pid names a process with another start time: the one checked has ended
  other_user,  // the process's real uid is not the one asked for
  failed,      // the check itself failed: `error` holds the errno
};

struct ProcessOpening {
  OpenStatus status = OpenStatus::failed;
  int error = 0;
  std::unique_ptr<OpenedProcess> process;
};

// Opens process `pid` of the proc tree at `proc_root` when its start time (field 22 of
// PID/stat, clock ticks after boot) is `start_ticks` and its real uid is `uid`. The pidfd is
// taken before the check, so a process that passed it is the one signals go to. Where the
// kernel has no pidfd_open, the process is held by pid and start time, checked again before
// each signal. Never throws for a process that cannot be opened.
ProcessOpening open_checked_process(const std::string& proc_root, int pid,
                                    std::uint64_t start_ticks, std::uint32_t uid);

}  // namespace pelmora
