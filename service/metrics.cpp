#include "service/metrics.h"

#include <cmath>

#include <fmt/format.h>

namespace pelmora::service {
namespace {

int code_slot(int status) { return status >= 0 && status < 600 ? status : 0; }

// A label value with \, " and newline escaped as the format asks.
std::string label(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

void header(std::string& out, const char* name, const char* type, const char* help) {
  out += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

}  // namespace

void Metrics::count_request(int status, double seconds) {
  _requests[static_cast<std::size_t>(code_slot(status))].fetch_add(1, std::memory_order_relaxed);
  for (std::size_t i = 0; i < kLatencyBuckets.size(); ++i) {
    if (seconds <= kLatencyBuckets[i]) {
      _latency_buckets[i].fetch_add(1, std::memory_order_relaxed);
      break;
    }
  }
  _latency_count.fetch_add(1, std::memory_order_relaxed);
  _latency_micros.fetch_add(static_cast<std::uint64_t>(std::llround(std::max(0.0, seconds) * 1e6)),
                            std::memory_order_relaxed);
}

void Metrics::count_submission(int status) {
  _submissions[static_cast<std::size_t>(code_slot(status))].fetch_add(1, std::memory_order_relaxed);
}

void Metrics::count_output(std::size_t lines, std::size_t bytes) {
  _output_lines.fetch_add(lines, std::memory_order_relaxed);
  _output_bytes.fetch_add(bytes, std::memory_order_relaxed);
}

void Metrics::count_runner_error() { _runner_errors.fetch_add(1, std::memory_order_relaxed); }

std::string Metrics::exposition(const MetricsSnapshot& now) const {
  std::string out;
  header(out, "pelmora_jobs", "gauge", "Jobs kept by the service, by state and runner.");
  for (const auto& [key, count] : now.jobs) {
    out += fmt::format("pelmora_jobs{{state=\"{}\",runner=\"{}\"}} {}\n", label(key.first),
                       label(key.second), count);
  }
  header(out, "pelmora_queue_length", "gauge", "Jobs waiting for a free slot.");
  out += fmt::format("pelmora_queue_length {}\n", now.queued);
  header(out, "pelmora_jobs_active", "gauge", "Jobs handed to the runner and not ended.");
  out += fmt::format("pelmora_jobs_active {}\n", now.running);

  auto by_code = [&out](const char* name, const auto& counts) {
    for (std::size_t code = 0; code < counts.size(); ++code) {
      auto n = counts[code].load(std::memory_order_relaxed);
      if (n) out += fmt::format("{}{{code=\"{}\"}} {}\n", name, code, n);
    }
  };
  header(out, "pelmora_submissions_total", "counter",
         "Submissions answered, by status code (200 accepted, others refused).");
  by_code("pelmora_submissions_total", _submissions);
  header(out, "pelmora_http_requests_total", "counter", "Requests answered, by status code.");
  by_code("pelmora_http_requests_total", _requests);

  header(out, "pelmora_http_request_duration_seconds", "histogram",
         "Time to answer a request once it was read.");
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < kLatencyBuckets.size(); ++i) {
    cumulative += _latency_buckets[i].load(std::memory_order_relaxed);
    out += fmt::format("pelmora_http_request_duration_seconds_bucket{{le=\"{}\"}} {}\n",
                       kLatencyBuckets[i], cumulative);
  }
  auto count = _latency_count.load(std::memory_order_relaxed);
  out += fmt::format("pelmora_http_request_duration_seconds_bucket{{le=\"+Inf\"}} {}\n", count);
  out += fmt::format("pelmora_http_request_duration_seconds_sum {}\n",
                     static_cast<double>(_latency_micros.load(std::memory_order_relaxed)) / 1e6);
  out += fmt::format("pelmora_http_request_duration_seconds_count {}\n", count);

  header(out, "pelmora_output_lines_total", "counter", "Output lines stored.");
  out += fmt::format("pelmora_output_lines_total {}\n", _output_lines.load());
  header(out, "pelmora_output_bytes_total", "counter", "Bytes of output stored.");
  out += fmt::format("pelmora_output_bytes_total {}\n", _output_bytes.load());
  header(out, "pelmora_runner_errors_total", "counter",
         "Jobs that ended without running because the runner could not run them.");
  out += fmt::format("pelmora_runner_errors_total {}\n", _runner_errors.load());
  header(out, "pelmora_sandbox", "gauge",
         "How local jobs are confined: 1 for the confinement in force.");
  for (const char* kind : {"bubblewrap", "supervisor", "none"}) {
    std::string in_force = now.confinement.empty() ? "none" : now.confinement;
    out += fmt::format("pelmora_sandbox{{kind=\"{}\"}} {}\n", kind, in_force == kind ? 1 : 0);
  }
  return out;
}

}  // namespace pelmora::service
