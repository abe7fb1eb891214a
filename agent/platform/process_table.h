#pragma once
// The process table of this machine: enumeration of live processes with the attributes the
// scanner needs, read lazily, and the per-process CPU sample memory shared by the whole agent.
//
// Values follow psutil's rules for the same process (name, cmdline, cpu_percent,
// memory_percent, username, create_time, memory_info().rss), so that the agent and a
// Python tool agree on what they see.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/platform/clock.h"
#include "agent/platform/process_signal.h"

namespace pelmora {

// The process ended (or its pid now names another process) while it was being read.
class ProcessGoneError : public std::runtime_error {
 public:
  explicit ProcessGoneError(int pid_)
      : std::runtime_error("process " + std::to_string(pid_) + " no longer exists"), pid(pid_) {}
  int pid;
};

// One live process during one enumeration. Attributes are read on first use and then kept,
// so two calls give the same value; memory_rss() is the exception and reads afresh.
//
// An attribute that cannot be read (access refused) is std::nullopt. A getter that finds
// the process gone throws ProcessGoneError.
// A handle is valid only inside the visit call that received it; it is not thread-safe.
class ProcessHandle {
 public:
  virtual ~ProcessHandle() = default;

  virtual int pid() const = 0;
  // The executable's name (comm, or the base name of cmdline[0] when comm is cut at 15).
  virtual std::optional<std::string> name() = 0;
  // Arguments, program first, as raw bytes (not necessarily UTF-8). Empty for a zombie or a
  // kernel thread.
  virtual std::optional<std::vector<std::string>> cmdline() = 0;
  // CPU use since the previous sample of this process, taken when the enumeration reached
  // it; 100.0 is one busy core. 0.0 for the first sample.
  virtual std::optional<double> cpu_percent() = 0;
  // Resident memory as a percentage of physical memory.
  virtual std::optional<double> memory_percent() = 0;
  // memory_percent().value_or(0.0) >= threshold, possibly decided from a cheaper estimate
  // without reading memory_percent().
  virtual bool memory_percent_reaches(double threshold) {
    return memory_percent().value_or(0.0) >= threshold;
  }
  // Owner (real uid) by name, or the uid in decimal when it has no name.
  virtual std::optional<std::string> username() = 0;
  // Start time in seconds since the Unix epoch.
  virtual std::optional<double> create_time() = 0;
  // The process's working directory (absolute); std::nullopt when it cannot be read.
  virtual std::optional<std::string> cwd() = 0;
  // Resident set size in bytes, read now. Throws ProcessGoneError when the process has
  // ended, std::runtime_error when its memory cannot be read.
  virtual std::uint64_t memory_rss() = 0;
};

// The seven attributes of one process as an eager read gives them; std::nullopt where the
// table could not read a value.
struct ProcessAttributes {
  int pid = 0;
  std::optional<std::string> name;
  std::optional<std::vector<std::string>> cmdline;
  std::optional<double> cpu_percent;
  std::optional<double> memory_percent;
  std::optional<std::string> username;
  std::optional<double> create_time;

  friend bool operator==(const ProcessAttributes&, const ProcessAttributes&) = default;
};

// Reads all seven attributes through `handle`. Throws ProcessGoneError.
ProcessAttributes read_attributes(ProcessHandle& handle);

// The process table. Not thread-safe: use it from one thread (the watch loop).
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;

  // Calls `visit` once for every live process, in ascending pid order. The CPU of every
  // listed process is sampled, whether or not `visit` reads it. A process that ends while
  // it is being listed is left out. Sample state of processes that are no longer listed is
  // forgotten once a whole enumeration has completed.
  // Throws FileError when the table itself cannot be read; an exception thrown by `visit`
  // ends the enumeration and reaches the caller.
  virtual void for_each_process(const std::function<void(ProcessHandle&)>& visit) = 0;

  // The priming pass: samples the CPU of every process, ignoring processes that fail.
  // Throws FileError when the table itself cannot be read.
  virtual void prime() = 0;

  // The agent's own process id.
  virtual int own_pid() const = 0;

  // Opens process `pid` to signal it (open_checked_process), when it is still the process
  // whose create_time() this table gave as `create_time` and its real uid is `uid`. A pid
  // that now names a process with another start time is OpenStatus::replaced. The base
  // answers OpenStatus::failed with ENOTSUP.
  virtual ProcessOpening open_process(int pid, double create_time, std::uint32_t uid);
};

// The user name of `uid` as username() gives it: the name, or the uid in decimal when it
// has none.
std::string user_name_of(std::uint32_t uid);

// The process table of this machine, read from /proc; one instance for the whole agent so
// that the priming pass and every scan share the CPU sample memory. Between enumerations it
// keeps PID/schedstat open for each process with one thread (close-on-exec, at most the
// open-file limit less 256), so that one whose runtime has not moved is not read again.
ProcessTable& linux_process_table();

// The working directory of process `pid` (absolute), from /proc; std::nullopt when it
// cannot be read (gone, access refused, a deleted directory).
std::optional<std::string> process_cwd(int pid);

// A separate table over a proc tree at `root` (tests point it at a fixture tree); `clock`
// supplies the monotonic time of CPU samples and must outlive the table.
std::unique_ptr<ProcessTable> make_linux_process_table(std::string root = "/proc",
                                                       Clock& clock = system_clock());

}  // namespace pelmora
