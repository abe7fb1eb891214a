#pragma once
// The scheduler: keeps the queue of waiting jobs, starts them on the runner while fewer than
// max_jobs run ("fast" jobs first, then in order of submission), and records every
// transition and every output line in the store.
//
// Thread-safe. Runner events arrive on the runner's threads.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "agent/platform/clock.h"
#include "service/runner.h"
#include "service/store.h"

namespace pelmora::service {

class Metrics;

class Scheduler : public RunnerEvents {
 public:
  // `runner` is set with attach() before start(). `clock` stamps the transitions (its wall
  // time); it must outlive the scheduler and be safe to read from the runner's threads.
  Scheduler(JobStore& store, std::string jobs_dir, int max_jobs, Clock& clock = system_clock());

  void attach(JobRunner& runner) { _runner = &runner; }
  // Counts stored output and runner errors into `metrics` (none when not attached).
  void attach(Metrics& metrics) { _metrics = &metrics; }

  // Takes up what a previous run left. A job still marked running, or queued but already
  // submitted to its runner's own queue, is resumed when it was this runner's and the runner
  // can (it then counts against max_jobs); otherwise it is marked failed, and leftover local
  // processes are killed (never another runner's cluster jobs). Other queued jobs are
  // queued again.
  void start();

  // Queues a job already in the store.
  void enqueue(const JobRecord& job);

  // Cancels a job: a queued one leaves the queue, a running one is stopped. A running job
  // is recorded as cancelled once the runner reports its end (all its processes gone): this
  // waits for that, up to the runner's cancel_wait_seconds, then records it cancelled
  // anyway. With a runner whose cancels are confirmed by the job's end
  // (JobRunner::cancel_confirmed_by_end), a job handed to it keeps its status until then:
  // cancel_requested says so meanwhile. Returns the status the job had before, or nothing
  // for an unknown job.
  std::optional<std::string> cancel(const std::string& job_id);

  // Whether a cancel of the job was asked for and the runner has not reported its end yet.
  bool cancel_requested(const std::string& job_id);
  // Why the job waits in the runner's own queue (on_waiting); empty when it is not known to.
  std::string pending_reason(const std::string& job_id);

  // Stops taking jobs and lets the runner go (JobRunner::release_all): jobs it stops are
  // recorded as failed with the error "the service stopped while the job was running"; jobs
  // it leaves running (Slurm's) stay as they are, to be resumed at the next start. Queued
  // jobs stay queued.
  void stop();

  std::size_t running_count();
  std::size_t queued_count();

  // The ids of the jobs handed to the runner and not finished yet. A cancelled job is among
  // them until its process has ended, although the store already has it ended.
  std::set<std::string> active_jobs();

  void on_submitted(const LaunchSpec& job, long pid) override;
  void on_limits(const LaunchSpec& job, const nlohmann::json& limits) override;
  void on_started(const LaunchSpec& job, long pid) override;
  void on_started_at(const LaunchSpec& job, long pid, double wall_time) override;
  void on_waiting(const LaunchSpec& job, const std::string& reason) override;
  // Output the store cannot take (a full disk) is lost; the job then fails with an error
  // that says how much was lost and why, whatever its exit code.
  void on_output(const LaunchSpec& job, std::int64_t first_index,
                 const std::vector<OutputLine>& lines) override;
  void on_finished(const LaunchSpec& job, const JobOutcome& outcome) override;

 private:
  using QueueKey = std::pair<int, std::int64_t>;  // (0 fast / 1 other, seq)
  void _dispatch();
  // Resumes `job` (running, or submitted and queued) or marks it failed.
  void _take_up(const JobRecord& job, double now);
  LaunchSpec _spec_for(const JobRecord& job) const;

  JobStore& _store;
  Clock& _clock;
  JobRunner* _runner = nullptr;
  Metrics* _metrics = nullptr;
  std::string _jobs_dir;
  std::size_t _max_jobs;
  std::mutex _mutex;
  std::set<QueueKey> _queue;
  std::map<QueueKey, JobRecord> _waiting;
  std::size_t _running = 0;
  std::set<std::string> _active;
  // Per job, the output entries the store could not take, and why (the first failure).
  std::map<std::string, std::pair<std::int64_t, std::string>> _lost_output;
  std::set<std::string> _cancelling;  // running jobs cancelled, their end not reported yet
  std::map<std::string, std::string> _pending_reasons;  // on_waiting's, until the job starts
  std::condition_variable _ended;     // a job left _active
  bool _stopping = false;
};

}  // namespace pelmora::service
