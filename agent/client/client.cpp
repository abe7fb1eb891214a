#include "agent/client/client.h"

#include <iostream>
#include <stdexcept>

#include "agent/bundle/bundle.h"
#include "agent/client/config.h"
#include "agent/client/http.h"
#include "agent/platform/logger.h"
#include "agent/records.h"

namespace pelmora {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;

constexpr std::string_view kJobNotFoundMessage =
    "Job not found after retries \xE2\x80\x94 server may have restarted.";
// A 404 for the job is retried this many times in a row before it counts as an answer.
constexpr int kMaxNotFoundRetries = 5;

double _scaled(double seconds, const TransportOptions& transport) {
  return seconds * transport.timeout_scale;
}

HttpRequest _get(const std::string& url, const std::string& api_key, double timeout,
                 const TransportOptions& transport) {
  HttpRequest request;
  request.method = "GET";
  request.url = url;
  request.headers = {{"Authorization", "Bearer " + api_key}};
  request.timeout_seconds = _scaled(timeout, transport);
  request.ca_file = transport.ca_file;
  request.while_waiting = transport.while_waiting;
  return request;
}

std::string _job_url(const std::string& api_url, const std::string& job_id) {
  return api_url + "/v1/jobs/" + encode_path_segment(job_id);
}

// The "offset" query value as the service expects it: an integer in decimal digits; other
// JSON values in their text form (strings as they are). Null leaves the query out.
std::string _offset_query(const json& offset) {
  if (offset.is_null()) return "";
  std::string text;
  if (offset.is_string()) {
    text = offset.get<std::string>();
  } else if (offset.is_boolean()) {
    text = offset.get<bool>() ? "True" : "False";
  } else {
    text = offset.dump();
  }
  return "?offset=" + percent_encode(text);
}

// The text of one log entry: "content", else "text", else nothing. Throws when the entry
// is not an object or the member is not a string.
std::string _entry_text(const json& entry) {
  if (!entry.is_object()) throw json::type_error::create(302, "log entry is not an object", &entry);
  if (auto it = entry.find("content"); it != entry.end()) return it->get<std::string>();
  if (auto it = entry.find("text"); it != entry.end()) return it->get<std::string>();
  return "";
}

// Writes the entries of one output document and returns whether another page follows.
// `offset` takes the document's "current_index" after the last entry is written.
bool _write_output_page(const json& document, json& offset, std::ostream& out) {
  if (!document.is_object()) throw json::type_error::create(302, "output is not an object", &document);
  if (auto entries = document.find("entries"); entries != document.end()) {
    if (!entries->is_array()) throw json::type_error::create(302, "entries is not an array", &*entries);
    for (const json& entry : *entries) {
      const std::string text = _entry_text(entry);
      if (!text.empty()) {
        out << text;
        out.flush();
        if (!out) {
          out.clear();
          throw std::runtime_error("could not write the log");
        }
      }
    }
  }
  if (auto index = document.find("current_index"); index != document.end()) offset = *index;
  auto more = document.find("more");
  return more != document.end() && more->is_boolean() && more->get<bool>();
}

// Output pages from `offset` on. A page marked "more" is followed at once, as long as the
// offset moves (a service that marks a page "more" without moving on would loop forever).
// Returns false when a page answered with a status other than 200 (nothing written for it).
bool _read_output(const std::string& api_url, const std::string& api_key,
                  const std::string& job_id, json& offset, std::ostream& out,
                  const TransportOptions& transport, long* failed_status = nullptr,
                  std::string* failed_body = nullptr) {
  const std::string base = _job_url(api_url, job_id) + "/output";
  while (true) {
    HttpResponse response =
        http_request(_get(base + _offset_query(offset), api_key, kOutputTimeout, transport));
    if (response.status != 200) {
      if (failed_status) *failed_status = response.status;
      if (failed_body) *failed_body = std::move(response.body);
      return false;
    }
    const json before = offset;
    const bool more = _write_output_page(json::parse(response.body), offset, out);
    if (!more || offset == before) return true;
  }
}

}  // namespace

nlohmann::json submit_code(const std::string& code, const SubmitOptions& options) {
  // 1. Bundling: never stops a submission.
  std::string source = code;
  if (options.file_path && !options.file_path->empty()) {
    try {
      source = _bundle_local_modules(code, *options.file_path);
    } catch (const std::exception& e) {
      agent_logger()->warn("Failed to bundle local modules: {}", e.what());
      source = code;
    }
  }
  // 2., 3. Key, then base URL.
  const std::string api_key = require_api_key(options.api_key);
  const std::string api_url = resolve_api_url(options.api_url);

  // 4. The body, its members in this order.
  ordered_json resources = ordered_json::object();
  if (options.gpu && !options.gpu->empty()) resources["gpu"] = *options.gpu;
  if (options.cpu && *options.cpu != 0) resources["cpu"] = *options.cpu;
  if (options.memory && !options.memory->empty()) resources["memory"] = *options.memory;
  ordered_json payload = ordered_json::object();
  payload["code"] = source;
  payload["file_path"] = options.file_path ? ordered_json(*options.file_path) : ordered_json();
  payload["resources"] = std::move(resources);
  payload["fast"] = options.fast;

  // 5. One request. Text that is not UTF-8 is sent with U+FFFD in its place, never refused.
  HttpRequest request;
  request.method = "POST";
  request.url = api_url + std::string(kSubmitPath);
  request.headers = {{"Authorization", "Bearer " + api_key},
                     {"Content-Type", "application/json"}};
  request.body = payload.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
  request.timeout_seconds = _scaled(kSubmitTimeout, options.transport);
  request.ca_file = options.transport.ca_file;
  request.while_waiting = options.transport.while_waiting;
  HttpResponse response = http_request(request);

  // 6. The answer, tested in this order.
  if (response.status == 401) throw InvalidAPIKeyError("Invalid API key.");
  if (response.status == 402) {
    const json body = json::parse(response.body);
    if (!body.is_object()) {
      throw json::type_error::create(306, "cannot use value() with " + std::string(body.type_name()), &body);
    }
    throw InsufficientCreditsError(body.value("required", json(0)), body.value("available", json(0)));
  }
  if (response.status == 429) throw RateLimitError();
  if (response.status != 200) {
    throw ExecutionError("Submission failed (" + std::to_string(response.status) +
                         "): " + response.body);
  }
  json answer = json::parse(response.body);
  if (!answer.is_object() && !answer.is_null()) {
    throw json::type_error::create(
        302, "the answer must be an object, not " + std::string(answer.type_name()), &answer);
  }
  return answer;
}

bool is_terminal_status(const nlohmann::json& status) {
  if (!status.is_string()) return false;
  const auto& text = status.get_ref<const std::string&>();
  return text == "completed" || text == "failed" || text == "cancelled";
}

nlohmann::json poll_job(const std::string& job_id, const PollOptions& options) {
  // Setup.
  const std::string api_key = require_api_key(options.api_key);
  const std::string api_url = resolve_api_url(options.api_url);
  std::ostream& out = options.out ? *options.out : std::cout;
  Clock& clock = options.clock ? *options.clock : system_clock();
  const std::string status_url = _job_url(api_url, job_id);
  json log_offset = 0;
  int not_found_retries = 0;

  while (true) {
    HttpResponse response =
        http_request(_get(status_url, api_key, kStatusTimeout, options.transport));
    if (response.status == 404) {
      ++not_found_retries;
      if (not_found_retries > kMaxNotFoundRetries) {
        throw ExecutionError(std::string(kJobNotFoundMessage));
      }
      clock.sleep(std::min(2.0 * not_found_retries, 10.0));
      continue;
    }
    if (response.status != 200) {
      throw ExecutionError("Failed to check job (" + std::to_string(response.status) +
                           "): " + response.body);
    }
    not_found_retries = 0;
    json document = json::parse(response.body);
    if (!document.is_object()) {
      throw json::type_error::create(
          306, "the job status must be an object, not " + std::string(document.type_name()),
          &document);
    }
    const json status = document.value("status", json("unknown"));

    if (options.follow_logs) {
      try {
        _read_output(api_url, api_key, job_id, log_offset, out, options.transport);
      } catch (...) {
        // The log is best effort: the status decides how the call goes on.
      }
    }
    if (is_terminal_status(status)) return document;
    clock.sleep(options.poll_interval);
  }
}

nlohmann::json fetch_job_status(const Endpoint& endpoint, const std::string& job_id) {
  HttpResponse response = http_request(
      _get(_job_url(endpoint.api_url, job_id), endpoint.api_key, kStatusTimeout, endpoint.transport));
  if (response.status != 200) {
    throw ExecutionError("Failed to check job (" + std::to_string(response.status) +
                         "): " + response.body);
  }
  json document = json::parse(response.body);
  if (!document.is_object()) {
    throw json::type_error::create(
        306, "the job status must be an object, not " + std::string(document.type_name()),
        &document);
  }
  return document;
}

nlohmann::json fetch_job_output(const Endpoint& endpoint, const std::string& job_id,
                                const nlohmann::json& offset, std::ostream& out) {
  json next = offset;
  long status = 0;
  std::string body;
  if (!_read_output(endpoint.api_url, endpoint.api_key, job_id, next, out, endpoint.transport,
                    &status, &body)) {
    throw ExecutionError("Failed to read job output (" + std::to_string(status) + "): " + body);
  }
  return next;
}

}  // namespace pelmora
