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

// What a runner reports. Called from the runner's own threads, for one job always in this
// order: on_started (unless the job could not start), on_output any number of times with
// consecutive indices from 0, on_finished exactly once.
class RunnerEvents {
 public:
  virtual ~RunnerEvents() = default;
  virtual void on_started(const LaunchSpec& job, long pid) = 0;
  virtual void on_output(const LaunchSpec& job, std::int64_t first_index,
                         const std::vector<OutputLine>& lines) = 0;
  virtual void on_finished(const LaunchSpec& job, const JobOutcome& outcome) = 0;
};

class JobRunner {
 public:
  virtual ~JobRunner() = default;
  // Starts `job`; events go to the RunnerEvents given to the runner. A job that cannot start
  // gets on_finished with an error (never an exception). May call on_started before it
  // returns.
  virtual void launch(const LaunchSpec& job) = 0;
  // Asks a running job to stop (SIGTERM to its process group, SIGKILL after a grace period).
  // Nothing for a job that is not running.
  virtual void cancel(const std::string& job_id) = 0;
  // Stops every running job as cancel does and waits until each has reported on_finished.
  virtual void stop_all() = 0;
};

}  // namespace pelmora::service
