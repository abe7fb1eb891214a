#pragma once
// Runs jobs on a Slurm cluster: each job becomes a batch job submitted with sbatch, followed
// with squeue, stopped with scancel, and looked up with sacct when it left no exit status.
//
// Everything between the service and the job goes through files in the job's directory:
// the batch script, the job's standard output and error, and the interpreter's exit status
// (written by the batch script itself, so the result does not depend on Slurm accounting).
// The service's data directory must therefore be on a file system that the compute nodes
// share with the machine the service runs on.
//
// Slurm commands run with fork/exec (never a shell), standard input /dev/null, a time-out,
// and the cleaned environment local jobs get (job_environment): sbatch exports the
// submitting environment to the job, and no key or secret of the service may reach the
// cluster.
//
// Thread-safe. One thread of the runner's own polls Slurm and reads the output files of
// every job, whatever their number; another runs sbatch for the jobs launched, in their
// order, so that launch never waits for Slurm; a third runs scancel for the jobs cancelled,
// again and again while the controller cannot be reached, so that cancel never waits either.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/platform/clock.h"
#include "service/runner.h"
#include "service/slurm_protocol.h"

namespace pelmora::service {

struct SlurmRunnerOptions {
  // The interpreter, as the compute nodes know it: an absolute path, or a name looked up on
  // the job's PATH there.
  std::string python = "python3";
  std::string partition;                // empty: the cluster's default partition
  std::vector<std::string> sbatch_args;  // given to sbatch ahead of the job's own options
  // The Slurm commands: absolute paths, or names looked up on PATH. sacct is optional.
  std::string sbatch = "sbatch";
  std::string squeue = "squeue";
  std::string scancel = "scancel";
  std::string sacct = "sacct";
  std::string sinfo = "sinfo";  // for check_slurm_cluster
  double poll_interval = 2.0;      // seconds between two squeue calls
  double output_interval = 0.5;    // seconds between two reads of the output files
  double command_timeout = 30.0;   // seconds a Slurm command may take before it is killed
  // Seconds a job that has left the queue may take for its exit status to show: a shared
  // file system can show a file written on another node late.
  double exit_status_grace = 5.0;
  double stop_timeout = 30.0;  // the longest stop_all waits for Slurm to end the jobs
  // Output is handed on in batches of at most this many lines; a line longer than
  // max_line_bytes goes in pieces of that size (as the local runner does).
  std::size_t batch_lines = 2000;
  std::size_t max_line_bytes = 64 * 1024;
  // Variables passed to the Slurm commands, and so to the jobs, beyond the allow-list of
  // job_environment (SLURM_CONF always is).
  std::vector<std::string> pass_env;
};

class SlurmRunner : public JobRunner {
 public:
  // Starts the polling thread. `clock` times the polls, the grace for a job's exit status and
  // stop_all's wait; it must outlive the runner and be safe to read from its threads.
  SlurmRunner(SlurmRunnerOptions options, RunnerEvents& events, Clock& clock = system_clock());
  ~SlurmRunner() override;  // stop_all(), then the polling thread ends

  std::string name() const override { return kSlurmRunnerName; }
  // {"name": "slurm", "state": "ok" or "controller unreachable" or "unknown", "controller":
  // {"answers": true/false/null, "seconds_ago": S, "error": E}}: from the last Slurm command
  // run (asked again every kControllerCheckSeconds when no job needs a command).
  nlohmann::json health() const override;
  static constexpr double kControllerCheckSeconds = 30;
  // Hands the job to the submitting thread, which writes the batch script and submits it; a
  // job sbatch refuses gets on_finished with sbatch's message. While the controller cannot
  // be reached, sbatch is tried again every poll_interval. on_submitted comes once sbatch
  // has given the Slurm job id; on_started (on_started_at, with the time its output file
  // was made) once the job's output file exists or Slurm reports it RUNNING, whichever is
  // seen first, both with the Slurm job id as pid. While it waits in Slurm's queue,
  // on_waiting gives Slurm's reason; a reason that says it can never run
  // (never_runs_reason) cancels it and ends it failed with that reason.
  void launch(const LaunchSpec& job) override;
  // Follows again the Slurm job from.pid (running, waiting in Slurm's queue, or ended while
  // no service followed it), reading each output file on from where from.stream_bytes says.
  // Never asks Slurm here: a job Slurm no longer knows and that left no exit status is
  // reported failed by the polling thread. False only without a Slurm job id.
  bool resume(const LaunchSpec& job, const ResumePoint& from) override;
  // Asks for the job's end and returns at once: a job sbatch has not taken yet ends now;
  // a submitted one (also one still pending in Slurm's queue) gets scancel on the runner's
  // thread, tried again every poll_interval while the controller cannot be reached, and
  // ends through the normal path with the error "cancelled" once scancel has been taken.
  // A job Slurm says has already ended keeps its own outcome.
  void cancel(const std::string& job_id) override;
  bool cancel_confirmed_by_end() const override { return true; }
  // Cancels every job and waits, at most stop_timeout seconds, until Slurm has ended them;
  // jobs still not ended then are reported finished ("cancelled") and no longer followed.
  void stop_all() override;
  // Stops following every job without cancelling it or reporting anything more: the jobs
  // belong to the cluster and run on; logs and returns how many were left. A job still in
  // sbatch gets its on_submitted, and nothing after it.
  std::size_t release_all() override;

 private:
  struct Job;
  void _poll_loop();
  void _submit_loop();
  void _submit(const std::shared_ptr<Job>& job);
  void _advance(Job& job, const std::map<std::string, SqueueEntry>* states, double now);
  void _read_output(Job& job, bool to_end);
  void _finish(Job& job);
  void _forget(const Job& job);
  void _cancel_loop();
  // Queues the job for _cancel_loop. Requires: _mutex held, the job has a Slurm id.
  void _request_scancel(const std::shared_ptr<Job>& job);
  bool _scancel(const std::vector<std::string>& slurm_ids);
  // Records whether the controller answered the last Slurm command, and if not, why.
  void _heard_from_controller(bool answered, const std::string& problem);

  SlurmRunnerOptions _options;
  RunnerEvents& _events;
  Clock& _clock;
  std::mutex _mutex;
  std::condition_variable _changed;  // _jobs shrank, or the poller should look now
  std::map<std::string, std::shared_ptr<Job>> _jobs;
  std::deque<std::shared_ptr<Job>> _to_submit;  // launched, waiting for sbatch
  std::deque<std::shared_ptr<Job>> _to_cancel;  // submitted, waiting for scancel to be taken
  bool _look_now = false;
  bool _quit = false;
  std::thread _poller;
  std::thread _submitter;
  std::thread _canceller;
  mutable std::mutex _controller_mutex;
  std::optional<bool> _controller_answers;  // absent: not asked yet
  double _controller_heard = 0;             // monotonic time of the last answer or failure
  std::string _controller_problem;
};

// What a look at the cluster before the service starts found.
struct SlurmClusterCheck {
  // Why the service must not start (the partition asked for does not exist); empty: it may.
  std::string refusal;
  // Something to warn about (the controller does not answer: jobs wait until it does).
  std::string warning;
};

// Asks the controller for its partitions (options.sinfo) and checks options.partition among
// them. A controller that cannot be reached, or an sinfo that cannot say, is a warning, never
// a refusal.
SlurmClusterCheck check_slurm_cluster(const SlurmRunnerOptions& options);

}  // namespace pelmora::service
