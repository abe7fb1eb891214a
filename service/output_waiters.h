#pragma once
// Requests that wait for a job's output (long polls of the output request), by job, and the
// runner events that wake them: output stored for the job, or its end.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "service/runner.h"

namespace pelmora::service {

// The waiting requests, by job seq. Thread-safe; the wake functions are called with no lock
// held.
class OutputWaiters {
 public:
  using Wake = std::function<void()>;

  // Adds `wake` for job `seq` and returns its ticket.
  std::uint64_t add(std::int64_t seq, Wake wake);
  // Forgets a ticket whose wait ended otherwise; nothing when it is gone already.
  void remove(std::int64_t seq, std::uint64_t ticket);
  // Calls and forgets every wake function of job `seq`.
  void wake(std::int64_t seq);
  // How many wait now.
  std::size_t size();

 private:
  std::mutex _mutex;
  std::uint64_t _next_ticket = 1;
  std::map<std::int64_t, std::map<std::uint64_t, Wake>> _by_job;
  std::size_t _count = 0;
};

// Every RunnerEvents call passed on to `inner` (the scheduler, which records them in the store); once
// output is stored, or a job's end recorded, that job's waiters are woken. Both refer to
// objects that must outlive it.
class WakingEvents : public RunnerEvents {
 public:
  WakingEvents(RunnerEvents& inner, OutputWaiters& waiters) : _inner(inner), _waiters(waiters) {}
  void on_submitted(const LaunchSpec& job, long pid) override { _inner.on_submitted(job, pid); }
  void on_limits(const LaunchSpec& job, const nlohmann::json& limits) override {
    _inner.on_limits(job, limits);
  }
  void on_started(const LaunchSpec& job, long pid) override { _inner.on_started(job, pid); }
  void on_started_at(const LaunchSpec& job, long pid, double wall_time) override {
    _inner.on_started_at(job, pid, wall_time);
  }
  void on_waiting(const LaunchSpec& job, const std::string& reason) override {
    _inner.on_waiting(job, reason);
  }
  void on_output(const LaunchSpec& job, std::int64_t first_index,
                 const std::vector<OutputLine>& lines) override;
  void on_finished(const LaunchSpec& job, const JobOutcome& outcome) override;

 private:
  RunnerEvents& _inner;
  OutputWaiters& _waiters;
};

}  // namespace pelmora::service
