#include "agent/client/job_client.h"

#include <cmath>
#include <cstdio>
#include <ostream>
#include <stdexcept>

#include "agent/client/errors.h"
#include "agent/client/http.h"
#include "agent/platform/json_text.h"

namespace pelmora {

namespace {

using nlohmann::json;

std::string _job_url(const Endpoint& endpoint, const std::string& job_id) {
  return endpoint.api_url + "/v1/jobs/" + encode_path_segment(job_id);
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

// The text of one log entry: "content", else "text", else nothing. Throws json::type_error
// when the entry is not an object or the member is not a string.
std::string _entry_text(const json& entry) {
  const auto& members = entry.get_ref<const json::object_t&>();
  if (auto it = members.find("content"); it != members.end()) return it->second.get<std::string>();
  if (auto it = members.find("text"); it != members.end()) return it->second.get<std::string>();
  return "";
}

// Writes the entries of one output document and returns whether another page follows:
// "more" is true and the page held entries. `offset` takes the document's "current_index"
// after the last entry is written.
bool _write_output_page(const json& document, json& offset, std::ostream& out) {
  const auto& members = document.get_ref<const json::object_t&>();
  bool any = false;
  if (auto entries = members.find("entries"); entries != members.end()) {
    for (const json& entry : entries->second.get_ref<const json::array_t&>()) {
      any = true;
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
  if (auto index = members.find("current_index"); index != members.end()) offset = index->second;
  auto more = members.find("more");
  return any && more != members.end() && more->second.is_boolean() && more->second.get<bool>();
}

// Whether a page moved the offset on: a number must rise, anything else must change.
bool _moved_on(const json& before, const json& after) {
  if (before.is_number() && after.is_number()) return after > before;
  return after != before;
}

}  // namespace

JobClient::JobClient(Endpoint endpoint) : _endpoint(std::move(endpoint)) {}

namespace {

HttpRequest _request(const Endpoint& endpoint, std::string method, std::string url,
                     double timeout) {
  HttpRequest request;
  request.method = std::move(method);
  request.url = std::move(url);
  request.headers = {{"Authorization", "Bearer " + endpoint.api_key}};
  request.timeout_seconds = timeout * endpoint.transport.timeout_scale;
  request.ca_file = endpoint.transport.ca_file;
  request.while_waiting = endpoint.transport.while_waiting;
  return request;
}

// The answer's body when its status is 200. Throws: JobServiceError naming `what_failed`.
std::string _expect_ok(HttpResponse response, const char* what_failed) {
  if (service_error_kind(response.status) != ServiceErrorKind::ok) {
    throw JobServiceError(what_failed, response.status, std::move(response.body));
  }
  return std::move(response.body);
}

}  // namespace

nlohmann::json JobClient::submit(const std::string& body) const {
  HttpRequest request = _request(_endpoint, "POST", _endpoint.api_url + std::string(kSubmitPath),
                                 kSubmitTimeout);
  request.headers.emplace_back("Content-Type", "application/json");
  request.body = body;
  json answer = parse_json(_expect_ok(http_request(request), "Submission failed"));
  if (!answer.is_null()) static_cast<void>(answer.get_ref<const json::object_t&>());  // or type_error
  return answer;
}

nlohmann::json JobClient::status(const std::string& job_id) const {
  json document = parse_json(_expect_ok(
      http_request(_request(_endpoint, "GET", _job_url(_endpoint, job_id), kStatusTimeout)),
      "Failed to check job"));
  static_cast<void>(document.get_ref<const json::object_t&>());  // or type_error
  return document;
}

bool JobClient::output(const std::string& job_id, nlohmann::json& offset, std::ostream& out,
                       double wait_seconds) const {
  const std::string base = _job_url(_endpoint, job_id) + "/output";
  bool waits = false;
  for (int pages = 1;; ++pages) {
    std::string url = base + _offset_query(offset);
    double timeout = kOutputTimeout;
    if (pages == 1 && wait_seconds > 0) {
      char text[32];
      std::snprintf(text, sizeof text, "%.3f", std::min(wait_seconds, 1e6));
      std::string seconds = text;
      while (seconds.back() == '0') seconds.pop_back();
      if (seconds.back() == '.') seconds.pop_back();
      url += (url.find('?') == std::string::npos ? "?wait=" : "&wait=") + seconds;
      timeout += wait_seconds / _endpoint.transport.timeout_scale;
    }
    const json page = parse_json(_expect_ok(
        http_request(_request(_endpoint, "GET", url, timeout)), "Failed to read job output"));
    if (pages == 1 && page.is_object() && page.contains("wait")) waits = true;
    const json before = offset;
    // A service that marks pages "more" without moving on, or without end, would otherwise
    // keep this loop going for ever.
    if (!_write_output_page(page, offset, out) || !_moved_on(before, offset) ||
        pages >= kMaxPagesPerRead) {
      return waits;
    }
  }
}

nlohmann::json JobClient::cancel(const std::string& job_id) const {
  HttpRequest request =
      _request(_endpoint, "POST", _job_url(_endpoint, job_id) + "/cancel", kManageTimeout);
  request.headers.emplace_back("Content-Type", "application/json");
  request.body = "{}";
  json answer = parse_json_or_discarded(_expect_ok(http_request(request), "Failed to cancel job"));
  const bool named_other = answer.is_object() && answer.contains("job_id") &&
                           answer["job_id"] != json(job_id);
  if (!answer.is_object() || !answer.contains("status") || !answer["status"].is_string() ||
      named_other) {
    throw std::runtime_error("the service accepted the cancel but did not answer with the job's status");
  }
  return answer;
}

nlohmann::json JobClient::list(int limit) const {
  const std::string body = _expect_ok(
      http_request(_request(_endpoint, "GET",
                            _endpoint.api_url + "/v1/jobs?limit=" + std::to_string(limit),
                            kManageTimeout)),
      "Failed to list jobs");
  json answer = parse_json_or_discarded(body);
  if (!answer.is_object() || !answer.contains("jobs") || !answer["jobs"].is_array()) {
    throw std::runtime_error("the service sent an answer that is not a job list");
  }
  return answer;
}

bool JobClient::health(double timeout_seconds) const {
  HttpRequest request = _request(_endpoint, "GET", _endpoint.api_url + "/v1/health", 1.0);
  request.timeout_seconds = timeout_seconds;
  return service_error_kind(http_request(request).status) == ServiceErrorKind::ok;
}

}  // namespace pelmora
