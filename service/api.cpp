#include "service/api.h"

#include <chrono>
#include <cmath>
#include <fstream>

#include "agent/platform/files.h"
#include "agent/platform/json_text.h"
#include "agent/platform/clock.h"
#include "service/dashboard.h"
#include "service/keys.h"
#include "service/log.h"
#include "service/metrics.h"
#include "service/resources.h"
#include "service/runner.h"
#include "service/scheduler.h"
#include "service/store.h"
#include "service/util.h"

namespace pelmora::service {
namespace {

using nlohmann::json;

void send_json(Response& res, int status, const json& body) {
  res.status = status;
  // Output lines may hold bytes that are not UTF-8: they go out as U+FFFD.
  res.body = body.dump(-1, ' ', false, json::error_handler_t::replace);
}

void send_error(Response& res, int status, const std::string& message) {
  res.status = status;
  res.body = error_body(message);
}

// The job id of "/v1/jobs/ID" + `tail` ("" or "/output" or "/cancel"), if `path` is that.
std::optional<std::string> job_route(const std::string& path, std::string_view tail) {
  constexpr std::string_view prefix = "/v1/jobs/";
  if (!path.starts_with(prefix) || !path.ends_with(tail)) return std::nullopt;
  if (path.size() <= prefix.size() + tail.size()) return std::nullopt;
  std::string id = path.substr(prefix.size(), path.size() - prefix.size() - tail.size());
  if (id.find('/') != std::string::npos) return std::nullopt;
  return id;
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
  if (job.runner) doc["runner"] = *job.runner;
  // Set once sbatch has taken the job: what squeue, sacct and scancel know it by.
  if (job.runner == kSlurmRunnerName && job.pid) doc["slurm_job_id"] = std::to_string(*job.pid);
  return doc;
}

Api::Api(JobStore& store, KeyRing& keys, Scheduler& scheduler, const JobRunner& runner,
         Metrics& metrics, std::string jobs_dir, ApiLimits limits, ServiceFacts facts)
    : _store(store), _keys(keys), _scheduler(scheduler), _runner(runner), _metrics(metrics),
      _jobs_dir(std::move(jobs_dir)), _limits(limits), _facts(std::move(facts)) {}

void Api::handle(const Request& req, Response& res) {
  auto start = std::chrono::steady_clock::now();
  _route(req, res);
  _metrics.count_request(
      res.status, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

void Api::_route(const Request& req, Response& res) {
  const bool get = req.method == "GET" || req.method == "HEAD";
  const bool post = req.method == "POST";
  const std::string& path = req.path;
  if (post && path == "/v1/jobs/submit/code") {
    _submit(req, res);
    return _metrics.count_submission(res.status);
  }
  if (get && !path.starts_with("/v1/")) {
    if (path == "/metrics") return _scrape(req, res);
    if (serve_dashboard(path, res)) return;
  }
  if (get && path == "/v1/jobs") return _list(req, res);
  if (get && path == "/v1/health") return _health(req, res);
  if (get) {
    if (auto id = job_route(path, "")) return _status(req, res, *id);
    if (auto id = job_route(path, "/output")) return _output(req, res, *id);
  }
  if (post) {
    if (auto id = job_route(path, "/cancel")) return _cancel(req, res, *id);
  }
  send_error(res, 404, "not found");
}

std::optional<Caller> Api::_authenticate(const Request& req, Response& res) {
  std::string header = req.header("Authorization").value_or("");
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
  res.log_key = caller->name;
  return caller;
}

std::optional<JobRecord> Api::_own_job(const Caller& caller, const std::string& id,
                                       Response& res) {
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

void Api::_submit(const Request& req, Response& res) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  if (!json_depth_within(req.body)) {
    return send_error(res, 400, "the request body nests deeper than " +
                                    std::to_string(kMaxJsonDepth) + " levels");
  }
  json body = parse_json_or_discarded(req.body);
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
    if (body["file_path"].get_ref<const std::string&>().size() > _limits.max_file_path) {
      return send_error(res, 400, "\"file_path\" is longer than " +
                                      std::to_string(_limits.max_file_path) + " bytes");
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
      res.headers.emplace_back("Retry-After", std::to_string(static_cast<long long>(wait)));
      return send_error(res, 429,
                        "too many submissions: at most " +
                            std::to_string(*caller->limits.submissions_per_minute) +
                            " per minute for this key");
    }
    if (_store.queued_count(caller->owner) >= _limits.max_queued_per_key) {
      res.headers.emplace_back("Retry-After", "10");
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

void Api::_list(const Request& req, Response& res) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  std::int64_t limit = 50;
  if (auto text = req.param("limit")) {
    auto value = parse_count(*text);
    if (!value || *value < 1) return send_error(res, 400, "\"limit\" must be a positive integer");
    limit = std::min<std::int64_t>(*value, 1000);
  }
  std::optional<std::string> status;
  if (auto text = req.param("status")) {
    if (!is_job_status(*text)) {
      return send_error(res, 400,
                        "\"status\" must be one of queued, running, completed, failed, cancelled");
    }
    status = *text;
  }
  std::optional<std::int64_t> before_seq;
  if (auto text = req.param("before")) {
    // Only the caller's own job marks a place in the list; any other is unknown.
    auto job = is_job_id(*text) ? _store.get(*text) : std::nullopt;
    if (!job || job->owner != caller->owner) {
      return send_error(res, 400, "\"before\" must be the id of one of your jobs");
    }
    before_seq = job->seq;
  }
  // One more than asked for tells whether a page follows.
  auto found = _store.list(caller->owner, static_cast<int>(limit) + 1, before_seq, status);
  json jobs = json::array();
  std::size_t bytes = 0;
  bool more = false;
  std::size_t taken = 0;
  for (auto& job : found) {
    if (taken == static_cast<std::size_t>(limit)) break;
    json doc = status_document(job);
    bytes += doc.dump(-1, ' ', false, json::error_handler_t::replace).size();
    // One answer stays about a page in size, whatever the jobs hold.
    if (!jobs.empty() && bytes > _limits.page_max_bytes) {
      more = true;
      break;
    }
    jobs.push_back(std::move(doc));
    ++taken;
  }
  json answer{{"jobs", std::move(jobs)}};
  if (more) answer["more"] = true;
  if (taken > 0 && found.size() > taken) answer["next"] = found[taken - 1].id;
  send_json(res, 200, answer);
}

void Api::_status(const Request& req, Response& res, const std::string& id) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  auto job = _own_job(*caller, id, res);
  if (!job) return;
  send_json(res, 200, status_document(*job));
}

void Api::_output(const Request& req, Response& res, const std::string& id) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  auto job = _own_job(*caller, id, res);
  if (!job) return;
  std::int64_t offset = 0;
  if (auto text = req.param("offset")) {
    auto value = parse_count(*text);
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

void Api::_cancel(const Request& req, Response& res, const std::string& id) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  auto job = _own_job(*caller, id, res);
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

void Api::_health(const Request& req, Response& res) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  send_json(res, 200,
            json{{"status", "ok"},
                 {"running", _scheduler.running_count()},
                 {"queued", _scheduler.queued_count()},
                 {"runner", _runner.health()}});
}

void Api::_scrape(const Request& req, Response& res) {
  if (!_facts.metrics_public && !_authenticate(req, res)) return;
  MetricsSnapshot now;
  // A job not run yet is counted with this service's runner, which will run it.
  for (auto& [key, count] : _store.count_by_status_and_runner()) {
    now.jobs[{key.first, key.second.empty() ? _runner.name() : key.second}] += count;
  }
  now.queued = _scheduler.queued_count();
  now.running = _scheduler.running_count();
  now.confinement = _facts.confinement;
  res.status = 200;
  res.content_type = "text/plain; version=0.0.4; charset=utf-8";
  res.body = _metrics.exposition(now);
}

}  // namespace pelmora::service
