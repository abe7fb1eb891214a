#pragma once
// The HTTP surface of the job service (served by service/http_server.h):
//   POST /v1/jobs/submit/code        submit {"code", "file_path", "resources", "fast"}
//   GET  /v1/jobs                    the caller's jobs, newest first (?limit=N, default 50;
//                                    ?status=S only those in S; ?before=ID only those older
//                                    than job ID; "more": true when the answer's size cut the
//                                    list short; "next": the ID to pass as ?before= for the
//                                    page after, when there is one)
//   GET  /v1/jobs/{id}               the status document
//   GET  /v1/jobs/{id}/output        output entries from ?offset=N, in pages ("more": true);
//                                    with &wait=S (seconds, at most kMaxOutputWait), an
//                                    answer that would bring nothing while the job runs
//                                    waits until output comes, the job ends or S pass, and
//                                    says "wait": S (the seconds it would wait)
//   POST /v1/jobs/{id}/cancel        cancel a queued or running job
//   GET  /v1/health                  whether the service answers, its runner's state (and
//                                    how long output requests may wait, how many wait now)
//   GET  /v1/jobs/{id}/files         the job's files from ?offset=N, in pages ("more": true)
//   GET  /v1/jobs/{id}/files/{path}  one file's bytes (Range: one range; ETag, Last-Modified)
//   GET  /v1/jobs/{id}/archive       a tar stream (?path=SUB, ?compress=gzip) of the files
//                                    (service/job_files.h says which and how)
//   GET  /metrics                    counters in the Prometheus text format (with a key, or
//                                    without when the metrics are public)
//   GET  /, /dashboard.js, ...       the web dashboard (no key: the page asks for one)
// Every /v1 request needs "Authorization: Bearer KEY" (401 otherwise). Another key's job is
// a 404 like an unknown one. Every error answer is a JSON object {"error": "..."}.

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "service/http_server.h"

namespace pelmora::service {

class JobRunner;
class JobStore;
class KeyRing;
class Metrics;
class OutputWaiters;
class Scheduler;
struct Caller;
struct JobRecord;

// The longest an output request waits (its "wait" is cut to this).
inline constexpr double kMaxOutputWait = 60.0;

struct ApiLimits {
  std::size_t max_body = 48 * 1024 * 1024;  // bytes of a request body (a project bundle at its default cap fits); more gets 413
  std::size_t page_max_entries = 5000;      // output entries per answer
  std::size_t page_max_bytes = 1024 * 1024;  // bytes of content per answer (about)
  std::int64_t max_queued_per_key = 1000;    // queued jobs of one key; a submission beyond: 429
  std::size_t max_file_path = 4096;          // bytes of a submission's "file_path"
};

// What the service says of itself in /metrics and /v1/health.
struct ServiceFacts {
  std::string confinement;      // how local jobs are confined; "" for another runner
  bool metrics_public = false;  // GET /metrics answers without a key
};

// The status document of `job`.
nlohmann::json status_document(const JobRecord& job);

class Api {
 public:
  // With `waiters` (woken by the runner's events, service/output_waiters.h), output requests
  // may wait; without, "wait" is ignored.
  Api(JobStore& store, KeyRing& keys, Scheduler& scheduler, const JobRunner& runner,
      Metrics& metrics, std::string jobs_dir, ApiLimits limits, ServiceFacts facts,
      OutputWaiters* waiters = nullptr);

  // Answers one request: routes it, authenticates it, fills `res`. Thread-safe.
  void handle(const Request& req, Response& res);

 private:
  std::optional<Caller> _authenticate(const Request& req, Response& res);
  std::optional<JobRecord> _own_job(const Caller& caller, const std::string& id,
                                    Response& res);
  void _submit(const Request& req, Response& res);
  void _list(const Request& req, Response& res);
  void _status(const Request& req, Response& res, const std::string& id);
  void _output(const Request& req, Response& res, const std::string& id);
  // The output document of `job` from `offset` ("wait" when `wait` is set).
  nlohmann::json _output_document(const JobRecord& job, std::int64_t offset,
                                  std::optional<double> wait);
  void _cancel(const Request& req, Response& res, const std::string& id);
  // status_document plus what the scheduler knows of the job now: "pending_reason" while
  // it waits in a runner's queue for a reason, "cancel_requested" while a cancel waits for
  // the runner's confirmation.
  nlohmann::json _document(const JobRecord& job);
  void _files(const Request& req, Response& res, const std::string& id);
  void _file(const Request& req, Response& res, const std::string& id, const std::string& path);
  void _archive(const Request& req, Response& res, const std::string& id);
  void _health(const Request& req, Response& res);
  void _scrape(const Request& req, Response& res);
  void _route(const Request& req, Response& res);
  // Seconds until the caller may submit again; 0 when it may now (and the submission is
  // counted).
  double _take_rate_slot(const Caller& caller);

  JobStore& _store;
  KeyRing& _keys;
  Scheduler& _scheduler;
  const JobRunner& _runner;
  Metrics& _metrics;
  std::string _jobs_dir;
  ApiLimits _limits;
  ServiceFacts _facts;
  OutputWaiters* _waiters;
  std::mutex _submit_mutex;  // credit check and insert of one submission at a time
  std::map<std::string, std::deque<double>> _recent;  // owner → submission times
};

}  // namespace pelmora::service
