#pragma once
// How jobs are run: the interface between the scheduler and whatever executes a job (local
// processes now; a cluster scheduler could be another implementation).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "service/store.h"

namespace pelmora::service {

// The names runners are recorded by (JobRunner::name).
inline constexpr const char* kLocalRunnerName = "local";
inline constexpr const char* kSlurmRunnerName = "slurm";

// One job to run: `work_dir` holds the submitted text as main.py.
struct LaunchSpec {
  std::string job_id;
  std::int64_t seq = 0;
  std::string work_dir;
  nlohmann::json resources = nlohmann::json::object();  // already validated
};

// How a job ended. `exit_code` is the process's exit status, or minus the signal that
// ended it; absent when the job never ran. `error` says why a job could not run or was cut
// short; absent for a job that ran and exited by itself.
struct JobOutcome {
  std::optional<int> exit_code;
  std::optional<std::string> error;
  bool succeeded() const { return !error && exit_code && *exit_code == 0; }
};

// Where a job taken up again after a restart of the service stands in the store.
struct ResumePoint {
  long pid = 0;          // what on_submitted or on_started reported for it
  bool started = false;  // on_started was recorded: the store has the job running
  std::int64_t next_index = 0;  // the index its next output entry gets
  // Per stream (by Stream): the position after the last stored entry, as the runner gave it
  // in OutputLine::stream_end (JobStore::stream_positions).
  std::uint64_t stream_bytes[2] = {0, 0};
};

// What a runner reports. Called from the runner's own threads, for one job always in this
// order: on_submitted (optional), on_limits (optional), on_started (unless the job could not start), on_output
// any number of times with consecutive indices from 0, on_finished exactly once. A resumed
// job continues the order where the previous service left it (see JobRunner::resume).
class RunnerEvents {
 public:
  virtual ~RunnerEvents() = default;
  // The job waits in a queue of the runner's own that outlives the service (Slurm's);
  // `pid` is what on_started will report for it. Runners without such a queue never call it.
  virtual void on_submitted(const LaunchSpec& job, long pid) {
    (void)job;
    (void)pid;
  }
  // How the job's resources are limited, for its status document (an object of short
  // texts: "memory", "processes", "output", "disk"); reported at most once, before
  // on_started. Runners that say nothing never call it.
  virtual void on_limits(const LaunchSpec& job, const nlohmann::json& limits) {
    (void)job;
    (void)limits;
  }
  virtual void on_started(const LaunchSpec& job, long pid) = 0;
  // on_started for a job that began at `wall_time` (seconds since the epoch), earlier than
  // the report: a runner that learns of the start late says when it really was.
  virtual void on_started_at(const LaunchSpec& job, long pid, double wall_time) {
    (void)wall_time;
    on_started(job, pid);
  }
  // While the job waits in the runner's own queue (after on_submitted): why, in that
  // queue's words ("Resources", "Priority"); empty once it no longer waits for a reason.
  virtual void on_waiting(const LaunchSpec& job, const std::string& reason) {
    (void)job;
    (void)reason;
  }
  virtual void on_output(const LaunchSpec& job, std::int64_t first_index,
                         const std::vector<OutputLine>& lines) = 0;
  virtual void on_finished(const LaunchSpec& job, const JobOutcome& outcome) = 0;
};

class JobRunner {
 public:
  virtual ~JobRunner() = default;
  // The name recorded with each job it runs ("local", "slurm"): a service started later with
  // another runner does not take up this runner's jobs.
  virtual std::string name() const = 0;
  // How the runner stands, for the health answer: {"name": ..., "state": "ok"}, with what
  // it knows of the systems it depends on. Answers at once: never waits on them.
  virtual nlohmann::json health() const { return {{"name", name()}, {"state", "ok"}}; }
  // Starts `job`; events go to the RunnerEvents given to the runner. A job that cannot start
  // gets on_finished with an error (never an exception). May call on_started before it
  // returns.
  virtual void launch(const LaunchSpec& job) = 0;
  // Follows again a job that a previous service of this runner started (or submitted) and
  // left behind. Events continue from `from`: on_started only when it was not recorded yet,
  // output from from.next_index, then on_finished. Returns false, reporting nothing, when
  // the runner cannot take it up; the caller then ends the job.
  virtual bool resume(const LaunchSpec& job, const ResumePoint& from) {
    (void)job;
    (void)from;
    return false;
  }
  // Asks a running job to stop (SIGTERM to its process group, SIGKILL after a grace period).
  // Nothing for a job that is not running.
  virtual void cancel(const std::string& job_id) = 0;
  // How long a cancel of a running job may wait for its on_finished, which comes once all
  // its processes are gone; 0: the runner's jobs end out of the service's sight (a
  // cluster's), and a cancelled job is recorded as cancelled at once.
  virtual double cancel_wait_seconds() const { return 0; }
  // True when a cancel only asks: the job is cancelled once the runner reports its end with
  // the error "cancelled" (a cluster that must confirm it, however long it is unreachable),
  // and keeps its status until then. A job that ends otherwise meanwhile was not cancelled.
  virtual bool cancel_confirmed_by_end() const { return false; }
  // Stops every running job as cancel does and waits until each has reported on_finished.
  virtual void stop_all() = 0;
  // The service stops: a runner whose jobs live on without it (resume takes them up at the
  // next start) stops following them, reports nothing more for them, and returns how many it
  // left; any other stops them all as stop_all does.
  virtual std::size_t release_all() {
    stop_all();
    return 0;
  }
};

}  // namespace pelmora::service
