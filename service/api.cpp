#include "service/api.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <ctime>
#include <fstream>

#include "agent/platform/files.h"
#include "agent/platform/json_text.h"
#include "agent/platform/clock.h"
#include "service/dashboard.h"
#include "service/job_files.h"
#include "service/keys.h"
#include "service/log.h"
#include "service/metrics.h"
#include "service/output_waiters.h"
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

// The job id and the file path of "/v1/jobs/ID/files/PATH", if `path` is that.
std::optional<std::pair<std::string, std::string>> file_route(const std::string& path) {
  constexpr std::string_view prefix = "/v1/jobs/";
  constexpr std::string_view middle = "/files/";
  if (!path.starts_with(prefix)) return std::nullopt;
  const std::size_t slash = path.find('/', prefix.size());
  if (slash == std::string::npos || slash == prefix.size()) return std::nullopt;
  if (path.compare(slash, middle.size(), middle) != 0) return std::nullopt;
  return std::make_pair(path.substr(prefix.size(), slash - prefix.size()),
                        path.substr(slash + middle.size()));
}

int files_status(const FilesError& e) {
  switch (e.kind) {
    case FilesError::Kind::bad_path: return 400;
    case FilesError::Kind::not_found: return 404;
    case FilesError::Kind::refused: return 403;
    case FilesError::Kind::failed: break;
  }
  return 500;
}

std::string http_date(double epoch_seconds) {
  auto seconds = static_cast<std::time_t>(epoch_seconds);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
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

// Seconds as plain decimal digits with an optional fraction ("30", "0.5"), at most 18
// characters.
std::optional<double> parse_seconds(const std::string& text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::size_t dots = 0;
  for (char c : text) {
    if (c == '.') {
      ++dots;
    } else if (c < '0' || c > '9') {
      return std::nullopt;
    }
  }
  if (dots > 1 || text.front() == '.' || text.back() == '.') return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
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
  // How its memory, processes, output and files were limited, when its runner said.
  if (job.limits.is_object()) doc["limits"] = job.limits;
  // The amount every runner asks for, by parse_memory's rule.
  if (job.resources.is_object() && job.resources.contains("memory") && job.resources["memory"].is_string()) {
    if (auto bytes = parse_memory(job.resources["memory"].get<std::string>())) doc["memory_bytes"] = *bytes;
  }
  return doc;
}

Api::Api(JobStore& store, KeyRing& keys, Scheduler& scheduler, const JobRunner& runner,
         Metrics& metrics, std::string jobs_dir, ApiLimits limits, ServiceFacts facts,
         OutputWaiters* waiters)
    : _store(store), _keys(keys), _scheduler(scheduler), _runner(runner), _metrics(metrics),
      _jobs_dir(std::move(jobs_dir)), _limits(limits), _facts(std::move(facts)),
      _waiters(waiters) {}

void Api::handle(const Request& req, Response& res) {
  auto start = std::chrono::steady_clock::now();
  _route(req, res);
  // A long poll answers later, always with an output document: counted when it is set aside.
  _metrics.count_request(
      res.later ? 200 : res.status,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
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
    if (auto id = job_route(path, "/files")) return _files(req, res, *id);
    if (auto id = job_route(path, "/archive")) return _archive(req, res, *id);
    if (auto target = file_route(path)) return _file(req, res, target->first, target->second);
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
    json doc = _document(job);
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
  send_json(res, 200, _document(*job));
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
  std::optional<double> wait;
  if (auto text = req.param("wait"); text && _waiters != nullptr) {
    auto value = parse_seconds(*text);
    if (!value) return send_error(res, 400, "\"wait\" must be a number of seconds");
    wait = std::min(*value, kMaxOutputWait);
  }
  json document = _output_document(*job, offset, wait);
  if (!wait || !(*wait > 0) || !document["entries"].empty() || is_terminal(job->status)) {
    return send_json(res, 200, document);
  }
  // Nothing yet: the answer waits for output, the job's end or the time.
  auto later = std::make_shared<LaterAnswer>();
  later->deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(*wait));
  auto ticket = std::make_shared<std::uint64_t>(0);
  const std::int64_t seq = job->seq;
  const std::string job_id = job->id;
  later->arm = [this, ticket, seq, job_id, offset](std::function<void()> wake) {
    *ticket = _waiters->add(seq, wake);
    // What came between the first look and now wakes nobody: look again.
    auto now = _store.get(job_id);
    if (!now || is_terminal(now->status) || _store.output_count(seq) > offset) wake();
  };
  later->answer = [this, ticket, seq, job_id, offset, wait](Response& answer) {
    _waiters->remove(seq, *ticket);
    auto now = _store.get(job_id);
    if (!now) return send_error(answer, 404, "no such job: " + job_id);
    send_json(answer, 200, _output_document(*now, offset, wait));
  };
  res.later = std::move(later);
}

json Api::_output_document(const JobRecord& job, std::int64_t offset, std::optional<double> wait) {
  auto page = _store.read_output(job.seq, offset, _limits.page_max_entries, _limits.page_max_bytes);
  json entries = json::array();
  for (auto& entry : page.entries) {
    entries.push_back(json{{"index", entry.index},
                           {"stream", entry.line.stream == Stream::stderr_stream ? "stderr" : "stdout"},
                           {"content", std::move(entry.line.content)}});
  }
  json document{{"entries", std::move(entries)},
                {"current_index", page.next},
                {"more", page.more},
                {"status", job.status}};
  if (wait) document["wait"] = *wait;
  return document;
}

nlohmann::json Api::_document(const JobRecord& job) {
  json doc = status_document(job);
  if (job.status == kQueued) {
    if (std::string reason = _scheduler.pending_reason(job.id); !reason.empty()) {
      doc["pending_reason"] = reason;
    }
  }
  if (!is_terminal(job.status) && _scheduler.cancel_requested(job.id)) doc["cancel_requested"] = true;
  return doc;
}

void Api::_cancel(const Request& req, Response& res, const std::string& id) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  auto job = _own_job(*caller, id, res);
  if (!job) return;
  auto before = _scheduler.cancel(job->id);
  // A job cancelled while it waited in a queue ends without a runner event.
  if (_waiters != nullptr) _waiters->wake(job->seq);
  auto now = _store.get(job->id);
  if (!before || !now) return send_error(res, 404, "no such job: " + job->id);
  if (is_terminal(*before)) {
    return send_json(res, 409,
                     json{{"error", "the job has already ended (" + *before + ")"},
                          {"job_id", now->id},
                          {"status", now->status}});
  }
  send_json(res, 200, _document(*now));
}

void Api::_files(const Request& req, Response& res, const std::string& id) {
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
  try {
    JobFiles files = JobFiles::open(join_path(_jobs_dir, job->id));
    FilesPage page = files.list(offset, _limits.page_max_entries, _limits.page_max_bytes);
    json entries = json::array();
    for (const FileEntry& entry : page.entries) entries.push_back(entry_json(entry));
    json answer{{"files", std::move(entries)},
                {"current_index", page.next},
                {"more", page.more},
                {"status", job->status}};
    if (files.root_name().empty()) {
      answer["root"] = nullptr;
    } else {
      put_path(answer, "root", files.root_name());
    }
    send_json(res, 200, answer);
  } catch (const FilesError& e) {
    send_error(res, files_status(e), e.what());
  }
}

void Api::_file(const Request& req, Response& res, const std::string& id, const std::string& path) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  auto job = _own_job(*caller, id, res);
  if (!job) return;
  try {
    OpenFile file = JobFiles::open(join_path(_jobs_dir, job->id)).open_file(path);
    res.headers.emplace_back("ETag", file.etag);
    res.headers.emplace_back("Last-Modified", http_date(file.mtime));
    res.headers.emplace_back("Accept-Ranges", "bytes");
    ByteRange range{0, file.size};
    RangeAnswer answer = RangeAnswer::whole;
    if (auto header = req.header("Range")) {
      // A resume names the version it holds: another version comes back whole.
      auto if_range = req.header("If-Range");
      if (!if_range || *if_range == file.etag) answer = parse_byte_range(*header, file.size, range);
    }
    if (answer == RangeAnswer::unsatisfiable) {
      res.headers.emplace_back("Content-Range", "bytes */" + std::to_string(file.size));
      return send_error(res, 416, "the range is not within the file's " +
                                      std::to_string(file.size) + " bytes");
    }
    if (answer == RangeAnswer::partial) {
      res.status = 206;
      res.headers.emplace_back("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                    std::to_string(range.first + range.length - 1) +
                                                    "/" + std::to_string(file.size));
    } else {
      res.status = 200;
      range = ByteRange{0, file.size};
    }
    res.content_type = "application/octet-stream";
    res.file_offset = range.first;
    res.file_length = range.length;
    res.file = std::make_shared<Fd>(std::move(file.fd));
  } catch (const FilesError& e) {
    send_error(res, files_status(e), e.what());
  }
}

void Api::_archive(const Request& req, Response& res, const std::string& id) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  auto job = _own_job(*caller, id, res);
  if (!job) return;
  std::string compress = req.param("compress").value_or("none");
  if (compress != "none" && compress != "gzip") {
    return send_error(res, 400, "\"compress\" must be gzip or none");
  }
  try {
    std::shared_ptr<ArchiveStream> stream = JobFiles::open(join_path(_jobs_dir, job->id))
                                                .archive(req.param("path").value_or(""),
                                                         compress == "gzip");
    res.status = 200;
    res.content_type = compress == "gzip" ? "application/gzip" : "application/x-tar";
    res.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + job->id +
                                                        (compress == "gzip" ? ".tar.gz\"" : ".tar\""));
    res.stream = [stream](char* buffer, std::size_t max) { return stream->read(buffer, max); };
  } catch (const FilesError& e) {
    send_error(res, files_status(e), e.what());
  }
}

void Api::_health(const Request& req, Response& res) {
  auto caller = _authenticate(req, res);
  if (!caller) return;
  json answer{{"status", "ok"},
              {"running", _scheduler.running_count()},
              {"queued", _scheduler.queued_count()},
              {"runner", _runner.health()}};
  if (_waiters != nullptr) {
    // Output requests may wait this long ("wait"), and this many wait now.
    answer["output_wait_max"] = kMaxOutputWait;
    answer["output_waiting"] = _waiters->size();
  }
  send_json(res, 200, answer);
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
