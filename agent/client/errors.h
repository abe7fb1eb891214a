#pragma once
// The errors of the job-service client.
//
// An answer with a status other than 200 is a JobServiceError whose kind says what the
// status means (service_error_kind, the one mapping); no answer at all is a TransportError
// (agent/client/http.h). submit_code and poll_job turn refusals into the four service error
// kinds below, which the offload flow and the pelmora command catch.

#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace pelmora {

// Common base of the refusals of the job service.
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

// What an HTTP status from the job service means.
enum class ServiceErrorKind {
  ok,                    // 200
  invalid_api_key,       // 401
  insufficient_credits,  // 402
  not_found,             // 404
  rate_limited,          // 429
  rejected,              // any other 4xx: the request itself was refused
  unavailable,           // 502, 503, 504: the service (or a proxy before it) is not there yet
  failed,                // anything else (3xx, 5xx, other 2xx): the service could not answer
};

// The one mapping from an HTTP status to its kind.
ServiceErrorKind service_error_kind(long status);

// The job service answered with a status other than 200. what() is
// "<what failed> (<status>): <body>", the body whole as the service sent it.
class JobServiceError : public ExecutionError {
 public:
  JobServiceError(const std::string& what_failed, long status_, std::string body_);
  ServiceErrorKind kind() const { return service_error_kind(status); }
  long status;
  std::string body;
};

}  // namespace pelmora
