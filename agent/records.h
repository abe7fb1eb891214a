#pragma once
// The records and error kinds shared by the agent's subsystems.
//
// ProcessInfo is made by the scanner and read by the daemon; OffloadRecord is kept by the
// daemon for every offloaded process; the service error kinds are raised by the job-service
// client and caught by the offload flow and the pelmora command.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pelmora {

// Seconds since the Unix epoch, with sub-second precision.
double wall_clock_now();

// One heavy Python process seen by one scan. A plain value: never changed after it is made.
// Text fields hold the bytes the process table gave; command lines may hold bytes that are
// not UTF-8.
struct ProcessInfo {
  int pid = 0;
  std::optional<std::string> name;
  std::vector<std::string> cmdline;
  std::optional<std::string> script_path;
  double cpu_percent = 0.0;
  double memory_percent = 0.0;
  double memory_mb = 0.0;
  std::string username = "";
  double create_time = 0.0;

  // The console label: the script's file name; else the command line joined with single
  // spaces and cut to its first 60 code points (never inside a UTF-8 sequence); else name.
  std::string short_cmd() const;

  friend bool operator==(const ProcessInfo&, const ProcessInfo&) = default;
};

// One process whose script was submitted. `submitted_at` and `status` take their defaults
// when the record is made from pid, script path and job id.
struct OffloadRecord {
  int pid = 0;
  std::string script_path;
  std::string job_id;
  double submitted_at = wall_clock_now();
  std::string status = "submitted";

  friend bool operator==(const OffloadRecord&, const OffloadRecord&) = default;
};

// ---- Service error kinds ----------------------------------------------------------------

// Common base of the four refusals of the job service.
class ServiceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The service rejected the API key (HTTP 401).
class InvalidAPIKeyError : public ServiceError {
 public:
  explicit InvalidAPIKeyError(const std::string& message) : ServiceError(message) {}
};

// The account cannot pay for the job (HTTP 402). `required` and `available` are the JSON
// values the service sent, taken over unchanged.
class InsufficientCreditsError : public ServiceError {
 public:
  InsufficientCreditsError(nlohmann::json required_, nlohmann::json available_)
      : ServiceError("Insufficient credits (required " + required_.dump() + ", available " +
                     available_.dump() + ")"),
        required(std::move(required_)),
        available(std::move(available_)) {}
  nlohmann::json required;
  nlohmann::json available;
};

// Too many requests (HTTP 429). The client never fills `retry_after`.
class RateLimitError : public ServiceError {
 public:
  explicit RateLimitError(std::optional<double> retry_after_ = std::nullopt)
      : ServiceError("Rate limited"), retry_after(retry_after_) {}
  std::optional<double> retry_after;
};

// The service could not take or report on a job.
class ExecutionError : public ServiceError {
 public:
  explicit ExecutionError(const std::string& message) : ServiceError(message) {}
};

}  // namespace pelmora
