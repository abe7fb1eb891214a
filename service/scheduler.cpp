#include "service/scheduler.h"

#include <csignal>
#include <chrono>
#include <filesystem>
#include <vector>

#include <unistd.h>

#include "agent/platform/files.h"
#include "agent/platform/clock.h"
#include "service/log.h"
#include "service/metrics.h"

namespace pelmora::service {
namespace {

constexpr const char* kRestartedError = "the service restarted while the job was running";
constexpr const char* kStoppedError = "the service stopped while the job was running";

// Ends what a job left running by a previous service, but only when its leader is still
// that job's process (working directory in the job's directory): SIGUSR1 makes a job
// supervisor kill everything below it (and ends a bwrap, whose namespace goes with it); then
// the leader's process group is killed.
void kill_leftover(long pid, const std::string& work_dir) {
  if (pid <= 0) return;
  std::error_code ec;
  auto cwd = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/cwd", ec);
  if (ec) return;
  auto expected = std::filesystem::weakly_canonical(work_dir, ec);
  if (ec || cwd != expected) return;
  const auto leader = static_cast<pid_t>(pid);
  kill(leader, SIGUSR1);
  for (int i = 0; i < 200 && kill(leader, 0) == 0; ++i) usleep(10000);
  kill(-leader, SIGKILL);
}

// The error of a job that another runner ran, found by a service restarted with `ours`.
std::string other_runner_error(const JobRecord& job, const std::string& ours) {
  std::string error = "the service restarted with the " + ours + " runner while the job ran on the " +
                      *job.runner + " runner";
  if (*job.runner == kSlurmRunnerName && job.pid) {
    std::string id = std::to_string(*job.pid);
    error += "; it may still run on the Slurm cluster as Slurm job " + id + " (scancel " + id +
             " stops it)";
  }
  return error;
}

}  // namespace

Scheduler::Scheduler(JobStore& store, std::string jobs_dir, int max_jobs, Clock& clock)
    : _store(store), _clock(clock), _jobs_dir(std::move(jobs_dir)),
      _max_jobs(static_cast<std::size_t>(max_jobs > 0 ? max_jobs : 1)) {}

LaunchSpec Scheduler::_spec_for(const JobRecord& job) const {
  return LaunchSpec{job.id, job.seq, join_path(_jobs_dir, job.id), job.resources};
}

void Scheduler::start() {
  double now = _clock.wall();
  auto running = _store.with_status(kRunning);
  auto queued = _store.with_status(kQueued);
  // Every job that is resumed holds its slot before a queued one can take it.
  for (const auto& job : running) _take_up(job, now);
  std::vector<JobRecord> waiting;
  for (const auto& job : queued) {
    // A pid on a queued job: submitted to the runner's own queue, and waiting there.
    if (job.pid) {
      _take_up(job, now);
    } else {
      waiting.push_back(job);
    }
  }
  for (const auto& job : waiting) enqueue(job);
}

void Scheduler::_take_up(const JobRecord& job, double now) {
  const std::string ours = _runner->name();
  std::string error = kRestartedError;
  if (job.runner && *job.runner == ours && job.pid) {
    ResumePoint from;
    from.pid = *job.pid;
    from.started = job.status == kRunning;
    from.next_index = _store.output_count(job.seq);
    auto positions = _store.stream_positions(job.seq);
    from.stream_bytes[0] = positions[0];
    from.stream_bytes[1] = positions[1];
    {
      std::lock_guard lock(_mutex);
      ++_running;
      _active.insert(job.id);
    }
    bool resumed = false;
    try {
      resumed = _runner->resume(_spec_for(job), from);
    } catch (const std::exception& e) {
      service_logger()->error("{}: cannot resume: {}", job.id, e.what());
    }
    if (resumed) {
      service_logger()->info("{} followed again ({} {}, pid {})", job.id, ours, job.status, *job.pid);
      return;
    }
    std::lock_guard lock(_mutex);
    --_running;
    _active.erase(job.id);
  } else if (job.runner && *job.runner != ours) {
    error = other_runner_error(job, ours);
  }
  // Only a local job's process could be left on this machine; another runner's id is no pid.
  if (job.pid && (!job.runner || *job.runner == kLocalRunnerName)) {
    kill_leftover(*job.pid, join_path(_jobs_dir, job.id));
  }
  _store.mark_finished(job.id, kFailed, std::nullopt, now, error);
  service_logger()->info("{} failed: {}", job.id, error);
}

void Scheduler::enqueue(const JobRecord& job) {
  {
    std::lock_guard lock(_mutex);
    QueueKey key{job.fast ? 0 : 1, job.seq};
    _queue.insert(key);
    _waiting[key] = job;
  }
  _dispatch();
}

void Scheduler::_dispatch() {
  // A job that fails at launch reports on_finished on this thread, which frees its slot and
  // would dispatch again: the loop below takes that up instead of recursing once per job.
  thread_local bool dispatching = false;
  if (dispatching) return;
  dispatching = true;
  while (true) {
    JobRecord job;
    {
      std::lock_guard lock(_mutex);
      if (_stopping || _running >= _max_jobs || _queue.empty()) break;
      QueueKey key = *_queue.begin();
      _queue.erase(_queue.begin());
      job = std::move(_waiting[key]);
      _waiting.erase(key);
      ++_running;
      _active.insert(job.id);
    }
    try {
      _runner->launch(_spec_for(job));
    } catch (...) {
      dispatching = false;
      throw;
    }
  }
  dispatching = false;
}

std::optional<std::string> Scheduler::cancel(const std::string& job_id) {
  const double wait = _runner->cancel_wait_seconds();
  auto current = _store.get(job_id);
  if (!current) return std::nullopt;
  if (_runner->cancel_confirmed_by_end() && !is_terminal(current->status)) {
    bool handed_on;
    {
      std::lock_guard lock(_mutex);
      // on_finished takes it out of _active and _cancelling under the same lock.
      handed_on = _active.count(job_id) > 0;
      if (handed_on) _cancelling.insert(job_id);
    }
    if (handed_on) {
      service_logger()->info("{} cancel requested (was {})", job_id, current->status);
      _runner->cancel(job_id);
      return current->status;
    }
  }
  if (current->status == kRunning && wait > 0) {
    {
      std::lock_guard lock(_mutex);
      _cancelling.insert(job_id);
    }
    service_logger()->info("{} cancelling", job_id);
    _runner->cancel(job_id);
    {
      std::unique_lock lock(_mutex);
      _ended.wait_for(lock, std::chrono::duration<double>(wait),
                      [&] { return _active.count(job_id) == 0; });
      _cancelling.erase(job_id);
    }
    // Recorded by on_finished when the job ended; otherwise (it outlived the wait, or ended
    // by itself meanwhile) this records what stands.
    auto after = _store.mark_cancelled(job_id, _clock.wall());
    if (after && *after == kRunning) service_logger()->warn("{} cancelled before its processes ended", job_id);
    return std::string(kRunning);
  }
  auto before = _store.mark_cancelled(job_id, _clock.wall());
  if (!before) return before;
  if (*before == kQueued) {
    std::lock_guard lock(_mutex);
    for (auto it = _waiting.begin(); it != _waiting.end(); ++it) {
      if (it->second.id == job_id) {
        _queue.erase(it->first);
        _waiting.erase(it);
        break;
      }
    }
  }
  if (*before == kQueued || *before == kRunning) {
    service_logger()->info("{} cancelled (was {})", job_id, *before);
    // Also covers a job taken from the queue a moment before: it is stopped once it starts.
    _runner->cancel(job_id);
  }
  return before;
}

void Scheduler::stop() {
  {
    std::lock_guard lock(_mutex);
    _stopping = true;
  }
  if (_runner != nullptr) _runner->release_all();
}

std::size_t Scheduler::running_count() {
  std::lock_guard lock(_mutex);
  return _running;
}

std::size_t Scheduler::queued_count() {
  std::lock_guard lock(_mutex);
  return _queue.size();
}

std::set<std::string> Scheduler::active_jobs() {
  std::lock_guard lock(_mutex);
  return _active;
}

void Scheduler::on_submitted(const LaunchSpec& job, long pid) {
  _store.mark_submitted(job.job_id, pid, _runner->name());
}

void Scheduler::on_limits(const LaunchSpec& job, const nlohmann::json& limits) {
  _store.set_limits(job.job_id, limits);
}

bool Scheduler::cancel_requested(const std::string& job_id) {
  std::lock_guard lock(_mutex);
  return _cancelling.count(job_id) > 0;
}

std::string Scheduler::pending_reason(const std::string& job_id) {
  std::lock_guard lock(_mutex);
  auto it = _pending_reasons.find(job_id);
  return it == _pending_reasons.end() ? "" : it->second;
}

void Scheduler::on_waiting(const LaunchSpec& job, const std::string& reason) {
  std::lock_guard lock(_mutex);
  if (reason.empty()) {
    _pending_reasons.erase(job.job_id);
  } else {
    _pending_reasons[job.job_id] = reason;
  }
}

void Scheduler::on_started(const LaunchSpec& job, long pid) { on_started_at(job, pid, _clock.wall()); }

void Scheduler::on_started_at(const LaunchSpec& job, long pid, double wall_time) {
  {
    std::lock_guard lock(_mutex);
    _pending_reasons.erase(job.job_id);
  }
  // Never later than now, nor before the job was submitted.
  double now = _clock.wall();
  if (wall_time > now) wall_time = now;
  if (auto record = _store.get(job.job_id); record && wall_time < record->created_at) {
    wall_time = record->created_at;
  }
  if (_store.mark_running(job.job_id, wall_time, pid, _runner->name())) {
    service_logger()->info("{} running (pid {})", job.job_id, pid);
  } else {
    // Cancelled between leaving the queue and starting.
    _runner->cancel(job.job_id);
  }
}

void Scheduler::on_output(const LaunchSpec& job, std::int64_t first_index,
                          const std::vector<OutputLine>& lines) {
  try {
    _store.append_output(job.seq, first_index, lines);
    if (_metrics) {
      std::size_t bytes = 0;
      for (const auto& line : lines) bytes += line.content.size();
      _metrics->count_output(lines.size(), bytes);
    }
  } catch (const std::exception& e) {
    std::lock_guard lock(_mutex);
    auto& lost = _lost_output[job.job_id];
    if (lost.first == 0) lost.second = e.what();
    lost.first += static_cast<std::int64_t>(lines.size());
    throw;
  }
}

void Scheduler::on_finished(const LaunchSpec& job, const JobOutcome& outcome) {
  bool stopping;
  {
    std::lock_guard lock(_mutex);
    stopping = _stopping;
  }
  std::optional<std::string> error = outcome.error;
  // Stopped by the service's stop rather than by a user (the local runner's jobs).
  if (stopping && error == "cancelled") error = kStoppedError;
  std::string status = outcome.succeeded() ? kCompleted : kFailed;
  // Never ran, and not for a cancel: the runner could not run it.
  if (_metrics && !outcome.exit_code && error && error != "cancelled" && error != kStoppedError) {
    _metrics->count_runner_error();
  }
  bool cancelling;
  {
    std::lock_guard lock(_mutex);
    cancelling = _cancelling.count(job.job_id) > 0;
    _pending_reasons.erase(job.job_id);
    if (_runner->cancel_confirmed_by_end()) {
      _cancelling.erase(job.job_id);
      // Cancelled when the runner says a cancel took; a job that ended first was not.
      cancelling = error == "cancelled";
    }
    auto lost = _lost_output.find(job.job_id);
    if (lost != _lost_output.end()) {
      status = kFailed;
      std::string what = "output lost: " + std::to_string(lost->second.first) +
                         " output line(s) could not be stored (" + lost->second.second + ")";
      error = error ? *error + "; " + what : what;
      _lost_output.erase(lost);
    }
  }
  try {
    // Cancelled by a user, and now that its processes are gone it shows so.
    if (cancelling) _store.mark_cancelled(job.job_id, _clock.wall());
    _store.mark_finished(job.job_id, status, outcome.exit_code, _clock.wall(), error);
    auto record = _store.get(job.job_id);
    std::string final_status = record ? record->status : status;
    std::string code = outcome.exit_code ? std::to_string(*outcome.exit_code) : "none";
    service_logger()->info("{} {} (exit code {}{}{})", job.job_id, final_status, code,
                           error && final_status != kCancelled ? ": " : "",
                           error && final_status != kCancelled ? *error : "");
  } catch (const std::exception& e) {
    service_logger()->error("{}: cannot record its end: {}", job.job_id, e.what());
  }
  {
    std::lock_guard lock(_mutex);
    --_running;
    _active.erase(job.job_id);
  }
  _ended.notify_all();
  _dispatch();
}

}  // namespace pelmora::service
