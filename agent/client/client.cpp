#include "agent/client/client.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

#include "agent/platform/json_text.h"
#include "agent/bundle/bundle.h"
#include "agent/bundle/project_imports.h"
#include "agent/client/config.h"
#include "agent/client/http.h"
#include "agent/platform/logger.h"

namespace pelmora {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr std::string_view kJobNotFoundMessage =
    "Job not found after retries \xE2\x80\x94 server may have restarted.";
// A 404 for the job is retried this many times in a row before it counts as an answer.
constexpr int kMaxNotFoundRetries = 5;
// Pauses between tries while the service cannot be reached (PollOptions::reconnect_for).
constexpr double kFirstReconnectPause = 0.25;
constexpr double kMaxReconnectPause = 2.0;

// Whether a failed status request is tried again: the service is away (restarting) and the
// time allowed for that since it went away has not passed. Pauses before the next try.
class Reconnection {
 public:
  Reconnection(Clock& clock, double allowed) : _clock(clock), _allowed(allowed) {}
  bool again() {
    if (!(_allowed > 0)) return false;
    const double now = _clock.monotonic();
    if (!_since) _since = now;
    if (now - *_since >= _allowed) return false;
    _clock.sleep(std::min(_pause, _allowed - (now - *_since)));
    _pause = std::min(_pause * 2, kMaxReconnectPause);
    return true;
  }
  void reached() {
    _since.reset();
    _pause = kFirstReconnectPause;
  }

 private:
  Clock& _clock;
  double _allowed;
  std::optional<double> _since;
  double _pause = kFirstReconnectPause;
};

// `code` with the script's local modules bundled in; `code` alone when there is no script
// or bundling fails (a warning on the agent logger): bundling never stops a submission.
std::string _bundled(const std::string& code, const SubmitOptions& options) {
  if (!options.file_path || options.file_path->empty()) return code;
  if (options.project) {
    const ProjectForm& form = *options.project;
    return build_project_bundle({.script = *options.file_path, .args = form.args,
                                 .cwd = form.cwd, .home = form.home, .limits = form.limits})
        .text;
  }
  std::string bundled;
  try {
    bundled = _bundle_local_modules(code, *options.file_path);
  } catch (const std::exception& e) {
    agent_logger()->warn("Failed to bundle local modules: {}", e.what());
    return code;
  }
  try {
    if (const auto cause = module_bundle_shortfall(code, *options.file_path)) {
      agent_logger()->warn("{}", module_bundle_hint(*cause));
    }
  } catch (const std::exception&) {
    // Advice only: the module bundle goes as it is.
  }
  return bundled;
}

// The submission body, its members in this order. Text that is not UTF-8 is sent with
// U+FFFD in its place, never refused.
std::string _submission(const std::string& source, const SubmitOptions& options) {
  ordered_json resources = ordered_json::object();
  if (options.gpu && !options.gpu->empty()) resources["gpu"] = *options.gpu;
  if (options.cpu && *options.cpu != 0) resources["cpu"] = *options.cpu;
  if (options.memory && !options.memory->empty()) resources["memory"] = *options.memory;
  ordered_json payload = ordered_json::object();
  payload["code"] = source;
  payload["file_path"] = options.file_path ? ordered_json(*options.file_path) : ordered_json();
  payload["resources"] = std::move(resources);
  payload["fast"] = options.fast;
  return payload.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

// One submission of the already bundled `source`; refusals become the service error kinds.
json _submit(const Endpoint& endpoint, const std::string& source, const SubmitOptions& options) {
  try {
    return JobClient(endpoint).submit(_submission(source, options));
  } catch (const JobServiceError& e) {
    switch (e.kind()) {
      case ServiceErrorKind::invalid_api_key:
        throw InvalidAPIKeyError("Invalid API key.");
      case ServiceErrorKind::insufficient_credits: {
        // json's own errors when the body is not a JSON object.
        const json body = parse_json(e.body);
        throw InsufficientCreditsError(body.value("required", json(0)),
                                       body.value("available", json(0)));
      }
      case ServiceErrorKind::rate_limited:
        throw RateLimitError();
      default:
        throw;
    }
  }
}

}  // namespace

nlohmann::json submit_code(const std::string& code, const SubmitOptions& options) {
  const std::string source = _bundled(code, options);
  Endpoint endpoint{.api_url = {}, .api_key = require_api_key(options.api_key),
                    .transport = options.transport};
  endpoint.api_url = resolve_api_url(options.api_url);
  return _submit(endpoint, source, options);
}

nlohmann::json submit_code_at(const Endpoint& endpoint, const std::string& code,
                              const SubmitOptions& options) {
  return _submit(endpoint, _bundled(code, options), options);
}

bool is_terminal_status(const nlohmann::json& status) {
  if (!status.is_string()) return false;
  const auto& text = status.get_ref<const std::string&>();
  return text == "completed" || text == "failed" || text == "cancelled";
}

nlohmann::json poll_job(const std::string& job_id, const PollOptions& options) {
  Endpoint endpoint{.api_url = {}, .api_key = require_api_key(options.api_key),
                    .transport = options.transport};
  endpoint.api_url = resolve_api_url(options.api_url);
  return poll_job_at(endpoint, job_id, options);
}

nlohmann::json poll_job_at(const Endpoint& endpoint, const std::string& job_id,
                           const PollOptions& options) {
  const JobClient client(endpoint);
  std::ostream& out = options.out ? *options.out : std::cout;
  Clock& clock = options.clock ? *options.clock : system_clock();
  json log_offset = 0;
  int not_found_retries = 0;
  Reconnection reconnection(clock, options.reconnect_for);

  while (true) {
    json document;
    try {
      document = client.status(job_id);
    } catch (const JobServiceError& e) {
      if (e.kind() == ServiceErrorKind::unavailable && reconnection.again()) continue;
      if (e.kind() != ServiceErrorKind::not_found) throw;
      ++not_found_retries;
      if (not_found_retries > kMaxNotFoundRetries) {
        throw ExecutionError(std::string(kJobNotFoundMessage));
      }
      clock.sleep(std::min(2.0 * not_found_retries, 10.0));
      continue;
    } catch (const TransportError& e) {
      if (is_connection_lost(e) && reconnection.again()) continue;
      throw;
    }
    reconnection.reached();
    not_found_retries = 0;
    const json status = document.value("status", json("unknown"));

    bool waited = false;
    if (options.follow_logs) {
      try {
        const double asked_at = clock.monotonic();
        const json before = log_offset;
        const bool waits = client.output(job_id, log_offset, out, options.long_poll);
        // An answer that brought nothing back at once would make the next cycle come at
        // once too: only an answer that waited, or brought output, saves the pause.
        waited = waits && (log_offset != before ||
                           clock.monotonic() - asked_at >= options.long_poll / 2);
      } catch (...) {
        // The log is best effort: the status decides how the call goes on.
      }
    }
    if (is_terminal_status(status)) return document;
    if (!waited) clock.sleep(options.poll_interval);
  }
}

nlohmann::json fetch_job_status(const Endpoint& endpoint, const std::string& job_id) {
  return JobClient(endpoint).status(job_id);
}

nlohmann::json fetch_job_output(const Endpoint& endpoint, const std::string& job_id,
                                const nlohmann::json& offset, std::ostream& out) {
  json next = offset;
  JobClient(endpoint).output(job_id, next, out);
  return next;
}

}  // namespace pelmora
