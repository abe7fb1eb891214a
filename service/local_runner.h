#pragma once
// Runs jobs as local processes: `<python> -u main.py` in the job's directory, in a session
// and process group of its own, confined as service/sandbox.h says, standard input
// /dev/null, standard output and error on pipes read line by line by one thread per job.
// Output entries as service/output.h cuts them; the environment of service/job_environment.h.
// Every process a job starts has ended when its end is reported.
//
// Limits: each job gets control groups of its own (service/job_cgroup.h) where the probe
// found them, joined before the job's first process runs: its memory ("memory" of its
// resources) and its processes and threads (max_processes) count for the whole job. Without
// a memory group, "memory" is an address-space limit per process; without a pids group,
// there is no process limit per job. At most max_output bytes of its output are stored, and
// its directory may take at most max_disk bytes (measured every disk_check_interval seconds
// and at its end). A job that passes a limit is killed at once and fails with an error that
// names the limit ("memory limit exceeded: ...", "process limit exceeded: ...", "output
// quota exceeded: ...", "disk quota exceeded: ..."); how each limit was applied goes to
// RunnerEvents::on_limits.

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/platform/clock.h"
#include "service/job_cgroup.h"
#include "service/runner.h"
#include "service/sandbox.h"

namespace pelmora::service {

struct LocalRunnerOptions {
  std::string python;          // an absolute path, or a name looked up on PATH
  double cancel_grace = 5.0;   // seconds between SIGTERM and SIGKILL
  // Output is handed on in batches of at most this many lines, at least every flush_interval
  // seconds while lines wait.
  std::size_t batch_lines = 2000;
  double flush_interval = 0.05;
  // ... and as soon as the job has written nothing more for this long, so that a follower
  // sees a lone line at once while a flood still goes in batches.
  double quiet_flush = 0.005;
  // A line longer than this is handed on in pieces of this size (their contents joined are
  // still the output).
  std::size_t max_line_bytes = 64 * 1024;
  // Whether this machine has a GPU; a job that asks for one fails otherwise. Absent: true
  // when /dev/nvidia0 exists.
  std::optional<bool> has_gpu;
  // Variables of the service's environment passed to jobs beyond the allow-list of
  // job_environment.
  std::vector<std::string> pass_env;
  // How jobs are confined; with bubblewrap, `bwrap` is the program and `hidden_dirs` (the
  // service's data directory) are emptied in the job's view.
  Confinement confinement = Confinement::supervisor;
  std::string bwrap = "bwrap";
  std::vector<std::string> hidden_dirs;
  // The control groups jobs get (probe_cgroups); none by default.
  CgroupProbe cgroups;
  std::uint64_t max_processes = 512;                           // with a pids group
  std::uint64_t max_output = std::uint64_t{1} << 30;           // bytes of output stored
  std::uint64_t max_disk = std::uint64_t{10} << 30;            // bytes in the job directory
  double disk_check_interval = 5.0;                            // seconds
};

class LocalRunner : public JobRunner {
 public:
  // `clock` times the cancel grace and the output flushes; it must outlive the runner and be
  // safe to read from the runner's threads.
  LocalRunner(LocalRunnerOptions options, RunnerEvents& events, Clock& clock = system_clock());
  ~LocalRunner() override;  // stop_all()

  // Its jobs are children of the service and end with it: it resumes none, and
  // release_all stops them all.
  std::string name() const override { return kLocalRunnerName; }
  void launch(const LaunchSpec& job) override;
  void cancel(const std::string& job_id) override;
  double cancel_wait_seconds() const override { return _options.cancel_grace + 10.0; }
  void stop_all() override;

 private:
  struct Running;
  void _follow(std::shared_ptr<Running> job);
  // Asks the job's processes to stop (SIGTERM), or with `now` kills them (SIGKILL).
  void _signal(const Running& job, bool now) const;

  LocalRunnerOptions _options;
  RunnerEvents& _events;
  Clock& _clock;
  std::mutex _mutex;
  std::condition_variable _idle;
  std::map<std::string, std::shared_ptr<Running>> _running;
  std::size_t _threads = 0;
};

}  // namespace pelmora::service
