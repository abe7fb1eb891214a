#pragma once
// JobClient: the one client of the job service's HTTP interface. Every request the agent and
// the pelmora command send to a job service goes through it.
//
//   JobClient client({.api_url = url, .api_key = key});
//   nlohmann::json document = client.status("job-1");
//
// The key and URL are taken as given (resolving them is the caller's business,
// agent/client/config.h). Each operation is one exchange (output: one per page) on the
// caller's thread; the client keeps no state between calls, so one object may be used from
// several threads at once.
//
// Errors (Throws:) are kept apart as cpr keeps them: TransportError (agent/client/http.h)
// when no answer came; JobServiceError (agent/client/errors.h) for an answer whose status is
// not 200, its kind() saying what the status means; nlohmann::json's own errors where a 200
// answer is not the JSON document expected.

#include <cstdint>
#include <iosfwd>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace pelmora {

// How requests go on the wire, for a host that must trust its own CA and for tests.
struct TransportOptions {
  // Verify TLS servers against this CA bundle instead of the system's.
  std::optional<std::string> ca_file;
  // Every fixed time-out (60, 15, 10 seconds) is multiplied by this; 1.0 in production.
  double timeout_scale = 1.0;
  // Called now and then while a request waits for its answer (HttpRequest::while_waiting).
  std::function<void()> while_waiting;
};

// Where to send requests and with which key (already resolved). The URL is used as given:
// request paths are appended to it as plain text.
struct Endpoint {
  std::string api_url;
  std::string api_key;
  TransportOptions transport;
};

// The submission endpoint, appended to the base URL.
inline constexpr std::string_view kSubmitPath = "/v1/jobs/submit/code";
// Fixed time-outs, in seconds.
inline constexpr double kSubmitTimeout = 60.0;
inline constexpr double kStatusTimeout = 15.0;
inline constexpr double kOutputTimeout = 10.0;
inline constexpr double kManageTimeout = 15.0;  // cancel and list
inline constexpr double kHealthTimeout = 2.0;

// The most output pages one output() call reads; the rest is left to the next call.
inline constexpr int kMaxPagesPerRead = 10000;

// What a download answer said about the bytes it carries.
struct DownloadAnswer {
  long status = 0;            // 200 (the whole file) or 206 (from `first` on)
  std::uint64_t first = 0;    // where the bytes start in the file
  std::optional<std::uint64_t> total;  // the file's size, when the answer says it
  std::optional<std::string> etag;
};

// One file download: where the bytes go, and from where on.
struct DownloadRequest {
  std::uint64_t from = 0;                 // ask for the bytes from here on (Range) when > 0
  std::optional<std::string> if_range;    // the ETag the bytes held so far came from
  // The body, piece by piece, with what the answer said about it (the same for every
  // piece); false stops the download.
  std::function<bool(const DownloadAnswer&, std::string_view)> write;
};

// The time a download may go without a byte before it fails.
inline constexpr double kDownloadStallTimeout = 60.0;

class JobClient {
 public:
  explicit JobClient(Endpoint endpoint);

  const Endpoint& endpoint() const { return _endpoint; }

  // POST kSubmitPath with the JSON text `body` (60 s), never retried. Returns the answer: a
  // JSON object whose "job_id" names the job, or null.
  // Throws: JobServiceError "Submission failed" for any status but 200; TransportError;
  // json::parse_error for a body that is not JSON; json::type_error for JSON that is neither
  // an object nor null.
  nlohmann::json submit(const std::string& body) const;

  // GET /v1/jobs/<id> (15 s): the job's status document, a JSON object.
  // Throws: JobServiceError "Failed to check job" for any status but 200 (404 included);
  // TransportError; json errors for a body that is not a JSON object.
  nlohmann::json status(const std::string& job_id) const;

  // GET /v1/jobs/<id>/output?offset=... (10 s per page) from `offset` on: each entry's
  // "content" (else "text", else nothing) is written to `out` unchanged and flushed. A page
  // marked "more": true is followed at once, as long as it held entries, the offset moves
  // (rises, when it is a number), and fewer than kMaxPagesPerRead pages came. After each page
  // written, `offset` takes its "current_index", so on an error it names the first page not
  // written. A null offset is left out of the query; a string is sent as it is, other
  // values in their JSON text. With `wait_seconds` > 0 the first page is asked with
  // "wait" (a long poll: the service may hold the answer that long, until output comes or
  // the job ends), and its time-out grows by that much. Returns whether the service said it
  // waits (its first answer has "wait"); a service that does not answers at once.
  // Throws: JobServiceError "Failed to read job output" for a status but 200 (nothing
  // written for that page); TransportError; json errors for a page that is not an output
  // document; std::runtime_error when `out` fails.
  bool output(const std::string& job_id, nlohmann::json& offset, std::ostream& out,
              double wait_seconds = 0) const;

  // POST /v1/jobs/<id>/cancel (15 s). Returns the job's status document from the answer.
  // Throws: JobServiceError "Failed to cancel job" for any status but 200; TransportError;
  // std::runtime_error when the answer is not a JSON object with a string "status" (and,
  // when it names a job, the same "job_id").
  nlohmann::json cancel(const std::string& job_id) const;

  // GET /v1/jobs?limit=N (15 s): the service's answer, an object whose "jobs" is an array,
  // newest first.
  // Throws: JobServiceError "Failed to list jobs" for any status but 200; TransportError;
  // std::runtime_error when the answer is not such an object.
  nlohmann::json list(int limit) const;

  // GET /v1/jobs/<id>/files?offset=N (15 s): one page of the job's file list, an object
  // whose "files" is an array ("more": true when another page follows at "current_index").
  // Throws: JobServiceError "Failed to list job files" for any status but 200;
  // TransportError; std::runtime_error when the answer is not such an object.
  nlohmann::json files(const std::string& job_id, std::int64_t offset) const;

  // GET /v1/jobs/<id>/files/<path> (each byte of `path` but '/' percent-encoded; the
  // connection within 15 s, then at most kDownloadStallTimeout without a byte): the body of
  // a 200 or 206 answer goes to `request.write`.
  // Throws: JobServiceError "Failed to download a file" for any other status (416 when
  // `from` is beyond the end); TransportError (also when `write` returned false).
  DownloadAnswer download(const std::string& job_id, std::string_view path,
                          const DownloadRequest& request) const;

  // GET /v1/health within `timeout_seconds` (not scaled): true when the service answers 200.
  // Throws: TransportError.
  bool health(double timeout_seconds = kHealthTimeout) const;

 private:
  Endpoint _endpoint;
};

}  // namespace pelmora
