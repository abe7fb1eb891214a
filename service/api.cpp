#include "service/api.h"

#include <chrono>
#include <cmath>
#include <fstream>

#include <httplib.h>

#include "agent/platform/files.h"
#include "agent/platform/clock.h"
#include "service/keys.h"
#include "service/log.h"
#include "service/resources.h"
#include "service/scheduler.h"
#include "service/store.h"
#include "service/util.h"

namespace pelmora::service {
namespace {

using nlohmann::json;

// Set per request on the server's worker thread, for the request log line.
thread_local std::string t_key_name;
thread_local std::chrono::steady_clock::time_point t_started;

void send_json(httplib::Response& res, int status, const json& body) {
  res.status = status;
  // Output lines may hold bytes that are not UTF-8: they go out as U+FFFD.
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void send_error(httplib::Response& res, int status, const std::string& message) {
  send_json(res, status, json{{"error", message}});
}

json optional_time(const std::optional<double>& value) {
  return value ? json(iso_time(*value)) : json(nullptr);
}

// A non-negative decimal integer of at most 18 digits.
std::optional<std::int64_t> parse_count(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

std::string default_message(int status) {
  switch (status) {
    case 400: return "bad request";
    case 401: return "invalid or missing API key";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 413: return "request body too large";
    case 414: return "request URI too long";
    default: return status >= 500 ? "internal error" : "request failed";
  }
}

}  // namespace

json status_document(const JobRecord& job) {
  json doc;
  doc["job_id"] = job.id;
  doc["status"] = job.status;
  doc["exit_code"] = job.exit_code ? json(*job.exit_code) : json(nullptr);
  doc["created_at"] = iso_time(job.created_at);
  doc["started_at"] = optional_time(job.started_at);
  doc["finished_at"] = optional_time(job.finished_at);
  doc["file_path"] = job.file_path ? json(*job.file_path) : json(nullptr);
  doc["resources"] = job.resources;
  doc["fast"] = job.fast;
  doc["error"] = job.error ? json(*job.error) : json(nullptr);
  // Set once sbatch has taken the job: what squeue, sacct and scancel know it by.
  if (job.runner == kSlurmRunnerName && job.pid) doc["slurm_job_id"] = std::to_string(*job.pid);
  return doc;
}

Api::Api(JobStore& store, KeyRing& keys, Scheduler& scheduler, std::string jobs_dir,
         ApiLimits limits)
    : _store(store), _keys(keys), _scheduler(scheduler), _jobs_dir(std::move(jobs_dir)),
      _limits(limits) {}

void Api::install(httplib::Server& server) {
  server.set_payload_max_length(_limits.max_body);
  server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    t_key_name = "-";
    t_started = std::chrono::steady_clock::now();
    // Refuse a body announced too big before reading any of it.
    if (req.has_header("Content-Length")) {
      auto length = parse_count(req.get_header_value("Content-Length"));
      if (!length || static_cast<std::uint64_t>(*length) > _limits.max_body) {
        res.set_header("Connection", "close");
        send_error(res, 413, "request body too large (at most " +
                                 std::to_string(_limits.max_body) + " bytes)");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.Post("/v1/jobs/submit/code",
              [this](const httplib::Request& req, httplib::Response& res) { _submit(req, res); });
  server.Get("/v1/jobs", [this](const httplib::Request& req, httplib::Response& res) { _list(req, res); });
  server.Get(R"(/v1/jobs/([^/]+))",
             [this](const httplib::Request& req, httplib::Response& res) { _status(req, res); });
  server.Get(R"(/v1/jobs/([^/]+)/output)",
             [this](const httplib::Request& req, httplib::Response& res) { _output(req, res); });
  server.Post(R"(/v1/jobs/([^/]+)/cancel)",
              [this](const httplib::Request& req, httplib::Response& res) { _cancel(req, res); });
  server.Get("/v1/health", [this](const httplib::Request& req, httplib::Response& res) { _health(req, res); });
  server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.body.empty()) send_error(res, res.status, default_message(res.status));
  });
  server.set_exception_handler(
      [](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "unknown error";
        try {
          if (ep) std::rethrow_exception(ep);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        service_logger()->error("{} {}: {}", req.method, req.path, what);
        send_error(res, 500, "internal error: " + what);
      });
  server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
    auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t_started).count();
    // The path names at most a job; the key never appears, only its name.
    service_logger()->info("{} {} {} {:.1f}ms key={}", req.method, req.path, res.status, ms,
                           t_key_name.empty() ? "-" : t_key_name);
  });
}

std::optional<Caller> Api::_authenticate(const httplib::Request& req, httplib::Response& res) {
  std::string header = req.get_header_value("Authorization");
  const std::string scheme = "bearer ";
  std::string given = header.substr(0, std::min(header.size(), scheme.size()));
  for (char& c : given) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (header.size() <= scheme.size() || given != scheme) {
    send_error(res, 401, "missing API key: send the header \"Authorization: Bearer KEY\"");
    return std::nullopt;
  }
  std::string token = header.substr(scheme.size());
  while (!token.empty() && (token.back() == ' ' || token.back() == '\t')) token.pop_back();
  auto caller = _keys.authenticate(token);
  if (!caller) {
    send_error(res, 401, "invalid API key");
    return std::nullopt;
  }
  t_key_name = caller->name;
  return caller;
}

std::optional<JobRecord> Api::_own_job(const Caller& caller, const std::string& id,
                                       httplib::Response& res) {
  std::optional<JobRecord> job;
  if (is_job_id(id)) job = _store.get(id);
  if (!job || job->owner != caller.owner) {
    send_error(res, 404, "no such job: " + (is_job_id(id) ? id : std::string("(malformed id)")));
    return std::nullopt;
  }
  return job;
}

double Api::_take_rate_slot(const Caller& caller) {
  if (!caller.limits.submissions_per_minute) return 0;
  double now = wall_clock_now();
  auto& times = _recent[caller.owner];
  while (!times.empty() && times.front() <= now - 60.0) times.pop_front();
  auto limit = static_cast<std::size_t>(*caller.limits.submissions_per_minute);
  if (times.size() >= limit) {
    return times.empty() ? 60.0 : std::max(1.0, std::ceil(times.front() + 60.0 - now));
  }
  times.push_back(now);
  return 0;
}

void Api::_submit(const httplib::Request& req, httplib::Response& res) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  json body = json::parse(req.body, nullptr, false);
  if (body.is_discarded()) return send_error(res, 400, "the request body is not valid JSON");
  if (!body.is_object()) return send_error(res, 400, "the request body must be a JSON object");
  if (!body.contains("code") || !body["code"].is_string()) {
    return send_error(res, 400, "\"code\" must be a string");
  }
  JobRecord job;
  job.owner = caller->owner;
  if (body.contains("file_path") && !body["file_path"].is_null()) {
    if (!body["file_path"].is_string()) {
      return send_error(res, 400, "\"file_path\" must be a string or null");
    }
    job.file_path = body["file_path"].get<std::string>();
  }
  if (body.contains("resources") && !body["resources"].is_null()) {
    if (auto problem = check_resources(body["resources"])) return send_error(res, 400, *problem);
    job.resources = body["resources"];
  }
  if (body.contains("fast") && !body["fast"].is_null()) {
    if (!body["fast"].is_boolean()) return send_error(res, 400, "\"fast\" must be true or false");
    job.fast = body["fast"].get<bool>();
  }
  job.cost = job_cost(job.resources);

  {
    std::lock_guard lock(_submit_mutex);
    double wait = _take_rate_slot(*caller);
    if (wait > 0) {
      res.set_header("Retry-After", std::to_string(static_cast<long long>(wait)));
      return send_error(res, 429,
                        "too many submissions: at most " +
                            std::to_string(*caller->limits.submissions_per_minute) +
                            " per minute for this key");
    }
    if (_store.queued_count(caller->owner) >= _limits.max_queued_per_key) {
      res.set_header("Retry-After", "10");
      return send_error(res, 429,
                        "too many queued jobs: at most " +
                            std::to_string(_limits.max_queued_per_key) +
                            " may wait for this key; submit again once some have started, or "
                            "cancel some");
    }
    if (caller->limits.credits) {
      double available = std::max(0.0, *caller->limits.credits - _store.credits_used(caller->owner));
      if (job.cost > available) {
        return send_json(res, 402,
                         json{{"error", "insufficient credits"},
                              {"required", job.cost},
                              {"available", available}});
      }
    }
    job.id = new_job_id();
    job.created_at = wall_clock_now();
    std::string dir = join_path(_jobs_dir, job.id);
    make_private_dirs(dir);
    // As durable as the job's row (WAL without a sync per commit): it survives the
    // service's death, not the machine's.
    write_private_file(join_path(dir, "main.py"), body["code"].get<std::string>(), false);
    _store.insert(job);
  }
  service_logger()->info("{} queued (key {}{})", job.id, caller->name, job.fast ? ", fast" : "");
  // The answer is the job as accepted: queued, even when it starts at once.
  json answer = status_document(job);
  _scheduler.enqueue(job);
  send_json(res, 200, answer);
}

void Api::_list(const httplib::Request& req, httplib::Response& res) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  std::int64_t limit = 50;
  if (req.has_param("limit")) {
    auto value = parse_count(req.get_param_value("limit"));
    if (!value || *value < 1) return send_error(res, 400, "\"limit\" must be a positive integer");
    limit = std::min<std::int64_t>(*value, 1000);
  }
  json jobs = json::array();
  for (const auto& job : _store.list(caller->owner, static_cast<int>(limit))) {
    jobs.push_back(status_document(job));
  }
  send_json(res, 200, json{{"jobs", jobs}});
}

void Api::_status(const httplib::Request& req, httplib::Response& res) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  auto job = _own_job(*caller, req.matches[1], res);
  if (!job) return;
  send_json(res, 200, status_document(*job));
}

void Api::_output(const httplib::Request& req, httplib::Response& res) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  auto job = _own_job(*caller, req.matches[1], res);
  if (!job) return;
  std::int64_t offset = 0;
  if (req.has_param("offset")) {
    auto value = parse_count(req.get_param_value("offset"));
    if (!value) return send_error(res, 400, "\"offset\" must be a non-negative integer");
    offset = *value;
  }
  auto page = _store.read_output(job->seq, offset, _limits.page_max_entries, _limits.page_max_bytes);
  json entries = json::array();
  for (auto& entry : page.entries) {
    entries.push_back(json{{"index", entry.index},
                           {"stream", entry.line.stream == Stream::stderr_stream ? "stderr" : "stdout"},
                           {"content", std::move(entry.line.content)}});
  }
  send_json(res, 200,
            json{{"entries", std::move(entries)},
                 {"current_index", page.next},
                 {"more", page.more},
                 {"status", job->status}});
}

void Api::_cancel(const httplib::Request& req, httplib::Response& res) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  auto job = _own_job(*caller, req.matches[1], res);
  if (!job) return;
  auto before = _scheduler.cancel(job->id);
  auto now = _store.get(job->id);
  if (!before || !now) return send_error(res, 404, "no such job: " + job->id);
  if (is_terminal(*before)) {
    return send_json(res, 409,
                     json{{"error", "the job has already ended (" + *before + ")"},
                          {"job_id", now->id},
                          {"status", now->status}});
  }
  send_json(res, 200, status_document(*now));
}

void Api::_health(const httplib::Request& req, httplib::Response& res) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  send_json(res, 200,
            json{{"status", "ok"},
                 {"running", _scheduler.running_count()},
                 {"queued", _scheduler.queued_count()}});
}

}  // namespace pelmora::service
