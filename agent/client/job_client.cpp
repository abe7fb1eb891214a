#include "agent/client/job_client.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// What a 200 or 206 answer says about its body; nothing for a 206 without a valid
// "Content-Range: bytes FIRST-LAST/TOTAL".
std::optional<DownloadAnswer> _download_answer(const HttpResponse& response) {
  DownloadAnswer answer;
  answer.status = response.status;
  answer.etag = response.header("ETag");
  if (response.status == 206) {
    auto range = response.header("Content-Range");
    unsigned long long first = 0, last = 0, total = 0;
    if (!range || std::sscanf(range->c_str(), "bytes %llu-%llu/%llu", &first, &last, &total) != 3 ||
        last < first || last >= total) {
      return std::nullopt;
    }
    answer.first = first;
    answer.total = total;
  } else if (auto length = response.header("Content-Length")) {
    answer.total = std::strtoull(length->c_str(), nullptr, 10);
  }
  return answer;
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

nlohmann::json JobClient::files(const std::string& job_id, std::int64_t offset) const {
  const std::string body = _expect_ok(
      http_request(_request(_endpoint, "GET",
                            _job_url(_endpoint, job_id) + "/files?offset=" + std::to_string(offset),
                            kManageTimeout)),
      "Failed to list job files");
  json answer = parse_json_or_discarded(body);
  if (!answer.is_object() || !answer.contains("files") || !answer["files"].is_array()) {
    throw std::runtime_error("the service sent an answer that is not a file list");
  }
  return answer;
}

DownloadAnswer JobClient::download(const std::string& job_id, std::string_view path,
                                   const DownloadRequest& request) const {
  std::string url = _job_url(_endpoint, job_id) + "/files/";
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = path.find('/', start);
    url += percent_encode(path.substr(start, slash == std::string_view::npos ? slash : slash - start));
    if (slash == std::string_view::npos) break;
    url += '/';
    start = slash + 1;
  }
  HttpRequest http = _request(_endpoint, "GET", url, kManageTimeout);
  http.stall_seconds = kDownloadStallTimeout * _endpoint.transport.timeout_scale;
  if (request.from > 0) {
    http.headers.emplace_back("Range", "bytes=" + std::to_string(request.from) + "-");
    if (request.if_range) http.headers.emplace_back("If-Range", *request.if_range);
  }
  std::optional<DownloadAnswer> head;
  http.body_sink = [&](const HttpResponse& response, std::string_view data) {
    if (!head) {
      head = _download_answer(response);
      if (!head) return false;
    }
    return request.write(*head, data);
  };
  HttpResponse response = http_request(http);
  if (response.status != 200 && response.status != 206) {
    throw JobServiceError("Failed to download a file", response.status, std::move(response.body));
  }
  if (!head) head = _download_answer(response);  // an empty body
  if (!head) throw std::runtime_error("the service sent a partial answer without a valid Content-Range");
  return *head;
}

bool JobClient::health(double timeout_seconds) const {
  HttpRequest request = _request(_endpoint, "GET", _endpoint.api_url + "/v1/health", 1.0);
  request.timeout_seconds = timeout_seconds;
  return service_error_kind(http_request(request).status) == ServiceErrorKind::ok;
}

}  // namespace pelmora
