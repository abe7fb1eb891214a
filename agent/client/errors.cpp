#include "agent/client/errors.h"

namespace pelmora {

ServiceErrorKind service_error_kind(long status) {
  switch (status) {
    case 200: return ServiceErrorKind::ok;
    case 401: return ServiceErrorKind::invalid_api_key;
    case 402: return ServiceErrorKind::insufficient_credits;
    case 404: return ServiceErrorKind::not_found;
    case 429: return ServiceErrorKind::rate_limited;
    case 502:
    case 503:
    case 504: return ServiceErrorKind::unavailable;
    default: break;
  }
  if (status >= 400 && status < 500) return ServiceErrorKind::rejected;
  return ServiceErrorKind::failed;
}

JobServiceError::JobServiceError(const std::string& what_failed, long status_, std::string body_)
    : ExecutionError(what_failed + " (" + std::to_string(status_) + "): " + body_),
      status(status_),
      body(std::move(body_)) {}

}  // namespace pelmora
