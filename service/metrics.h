#pragma once
// The service's counters, and their text for GET /metrics in the Prometheus text exposition
// format (version 0.0.4). Nothing per key: counts by status code, state and runner only.
//
// Thread-safe: counters are atomics, bumped from the request and runner threads.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

namespace pelmora::service {

// What the service knows at the moment of a scrape, beside its counters.
struct MetricsSnapshot {
  std::map<std::pair<std::string, std::string>, std::int64_t> jobs;  // (state, runner) → count
  std::size_t queued = 0;   // jobs waiting for a free slot
  std::size_t running = 0;  // jobs handed to the runner
  std::string confinement;  // how local jobs are confined ("bubblewrap", "supervisor", "")
};

class Metrics {
 public:
  // Upper bounds (seconds) of the request latency histogram's buckets, "+Inf" aside.
  static constexpr std::array<double, 12> kLatencyBuckets = {
      0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 10};

  // One answered request: its status code and how long the handler took.
  void count_request(int status, double seconds);
  // One submission answered with `status` (200 accepted; anything else a refusal).
  void count_submission(int status);
  void count_output(std::size_t lines, std::size_t bytes);
  // A job that ended without running because the runner could not run it.
  void count_runner_error();

  std::string exposition(const MetricsSnapshot& now) const;

 private:
  static constexpr int kCodes = 600;  // status codes 0..599 (one slot each)
  std::array<std::atomic<std::uint64_t>, kCodes> _requests{};
  std::array<std::atomic<std::uint64_t>, kCodes> _submissions{};
  std::array<std::atomic<std::uint64_t>, kLatencyBuckets.size()> _latency_buckets{};
  std::atomic<std::uint64_t> _latency_count{0};
  std::atomic<std::uint64_t> _latency_micros{0};  // sum, in microseconds
  std::atomic<std::uint64_t> _output_lines{0};
  std::atomic<std::uint64_t> _output_bytes{0};
  std::atomic<std::uint64_t> _runner_errors{0};
};

}  // namespace pelmora::service
