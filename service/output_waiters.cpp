#include "service/output_waiters.h"

namespace pelmora::service {

std::uint64_t OutputWaiters::add(std::int64_t seq, Wake wake) {
  std::lock_guard lock(_mutex);
  std::uint64_t ticket = _next_ticket++;
  _by_job[seq].emplace(ticket, std::move(wake));
  ++_count;
  return ticket;
}

void OutputWaiters::remove(std::int64_t seq, std::uint64_t ticket) {
  std::lock_guard lock(_mutex);
  auto job = _by_job.find(seq);
  if (job == _by_job.end()) return;
  _count -= job->second.erase(ticket);
  if (job->second.empty()) _by_job.erase(job);
}

void OutputWaiters::wake(std::int64_t seq) {
  std::map<std::uint64_t, Wake> woken;
  {
    std::lock_guard lock(_mutex);
    auto job = _by_job.find(seq);
    if (job == _by_job.end()) return;
    woken = std::move(job->second);
    _by_job.erase(job);
    _count -= woken.size();
  }
  for (auto& [ticket, wake] : woken) wake();
}

std::size_t OutputWaiters::size() {
  std::lock_guard lock(_mutex);
  return _count;
}

void WakingEvents::on_output(const LaunchSpec& job, std::int64_t first_index,
                             const std::vector<OutputLine>& lines) {
  try {
    _inner.on_output(job, first_index, lines);
  } catch (...) {
    _waiters.wake(job.seq);
    throw;
  }
  _waiters.wake(job.seq);
}

void WakingEvents::on_finished(const LaunchSpec& job, const JobOutcome& outcome) {
  _inner.on_finished(job, outcome);
  _waiters.wake(job.seq);
}

}  // namespace pelmora::service
