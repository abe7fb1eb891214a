#pragma once
// Starting programs: the one fork/exec of the code base, and a short command run to its end
// with a deadline.
//
// A started program gets standard input from /dev/null, no other descriptor of this
// process (everything from 3 up is closed at exec), an empty signal mask and the default
// action for SIGPIPE, SIGINT, SIGTERM, SIGHUP and SIGCHLD. What fails in the child before
// exec (entering its directory, exec itself) is reported to the caller through a
// close-on-exec pipe, so a program that ran and exited 127 is never taken for one that
// could not start. Safe to call from any thread of a multi-threaded program: after fork
// the child makes only async-signal-safe calls.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "agent/platform/errors.h"
#include "agent/platform/fd.h"

namespace pelmora {

enum class ProcessGroup {
  inherit,      // the caller's
  new_group,    // a process group of its own (its id is the child's pid)
  new_session,  // a session and process group of its own, no controlling terminal
};

// Where standard output and error go.
enum class ChildOutput {
  inherit,  // the caller's
  pipes,    // one pipe each, read through Child::out and Child::err
  file,     // both appended to SpawnOptions::output_file (created with mode 0600)
};

struct SpawnOptions {
  std::vector<std::string> argv;  // argv[0] is the program's path: PATH is not searched
  std::optional<std::vector<std::string>> env;  // "NAME=value" each; absent: this process's
  std::string cwd;                              // empty: the caller's
  ProcessGroup group = ProcessGroup::inherit;
  // Started by a short-lived intermediate child, so that it is nobody's child here and
  // nothing waits for it. Requires: group == new_session. Child::pid is then -1.
  bool detach = false;
  ChildOutput output = ChildOutput::inherit;
  std::string output_file;
  // Best effort, as resource requests: a limit the kernel refuses is not an error.
  std::optional<std::uint64_t> address_space_limit;  // RLIMIT_AS, in bytes
  std::vector<int> cpus;  // the CPUs it may run on; empty: the caller's affinity
  // Control groups it joins before anything else runs (a supervisor included): the
  // cgroup.procs file of each, which the child writes "0" into. One that refuses it fails
  // the start (SpawnStage::cgroup).
  std::vector<std::string> join_cgroups;
  // Started under a supervisor, so that every process it starts ends with it: the child
  // (Child::pid, in its own session with new_session) becomes a child subreaper and runs the
  // program as its own child, in a process group of its own. When the program exits, the
  // supervisor kills (SIGKILL) every process left below it, setsid() or not, waits for them,
  // and exits as the program did (by the same signal when a signal ended it). Signals to the
  // supervisor itself: SIGTERM is passed on to the program's group and to every process
  // left below it; SIGUSR1 kills them all at once (SIGKILL). Use these instead of
  // signalling a process group. Requires: detach == false.
  bool supervise = false;
};

// A started program. The caller waits for it (waitpid) unless it was detached.
struct Child {
  pid_t pid = -1;
  Fd out;  // read ends, with ChildOutput::pipes
  Fd err;
};

// Why spawn failed: in this process (a pipe, /dev/null, the output file, a control group's
// file), at fork, or in the child when it joined a control group, entered its directory or
// ran exec.
enum class SpawnStage { prepare, fork, cgroup, chdir, exec };

// what(): "cannot create a pipe: ...", "cannot open FILE: ...", "cannot start a process:
// ...", "cannot join the control group FILE: ...", "cannot enter the directory DIR: ...",
// "cannot run PROGRAM: ...".
class SpawnError : public SystemError {
 public:
  SpawnError(SpawnStage stage_, int error_code_, const std::string& message)
      : SystemError(error_code_, message), stage(stage_) {}
  SpawnStage stage;
};

// Starts `options.argv`. Returns once the program runs (exec succeeded). A child that
// failed before exec has been waited for already.
// Throws SpawnError.
Child spawn(const SpawnOptions& options);

// How a command run to its end went.
struct CommandOutput {
  int status = 0;          // its exit status, or minus the signal that ended it
  bool timed_out = false;  // killed at the deadline (status is then meaningless)
  std::string out;         // its standard output and error, at most max_output bytes each
  std::string err;
};

// Runs `options` (output on pipes, in a process group of its own, whatever the options say)
// and reads both streams until it has exited. After `timeout_seconds` the whole group is
// killed with SIGKILL. Throws SpawnError when it cannot start.
CommandOutput run_command(SpawnOptions options, double timeout_seconds, std::size_t max_output);

// `program` resolved against PATH when it has no slash; absent when nothing executable is
// found (a name with a slash: when it is not executable).
std::optional<std::string> find_program(const std::string& program);

}  // namespace pelmora
