#pragma once
// The job-service client: submit a source text as a job, follow a job to its end.
//
// Both operations run wholly on the caller's thread, keep no state between calls, and
// resolve the API key and base URL afresh from their own options (agent/client/config.h);
// the _at forms take them already resolved. Both go through JobClient
// (agent/client/job_client.h). Errors (Throws:) are the service error kinds of
// agent/client/errors.h for refusals of the service, std::runtime_error(kNoApiKeyMessage)
// for a missing key, TransportError (agent/client/http.h) when no answer came, and
// nlohmann::json's own errors for answers that are not the JSON expected.

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "agent/bundle/project.h"
#include "agent/client/errors.h"
#include "agent/client/job_client.h"
#include "agent/platform/clock.h"

namespace pelmora {

// The project form of a submission (agent/bundle/project.h): the script's project instead
// of the script with its local modules.
struct ProjectForm {
  std::string cwd;                // where the script runs from (absolute)
  std::vector<std::string> args;  // its arguments
  std::string home;               // the user's home directory (never a project root)
  ProjectLimits limits;
};

// The keyword arguments of submit_code:
//   submit_code(code, {.file_path = path, .fast = true, .gpu = "A100"})
struct SubmitOptions {
  std::optional<std::string> file_path;  // bundling, and the "file_path" member
  std::optional<std::string> api_key;
  std::optional<std::string> api_url;
  bool fast = false;
  std::optional<std::string> gpu;     // resources.gpu when present and not empty
  std::optional<long long> cpu;       // resources.cpu when present and not 0
  std::optional<std::string> memory;  // resources.memory when present and not empty
  std::optional<bool> priority;       // accepted; not sent
  std::optional<bool> flexible;       // accepted; not sent
  // With file_path: send the project bundle of the script run from project->cwd instead of
  // the module bundle. A project that cannot be built stops the submission with a
  // ProjectError; nothing is sent.
  std::optional<ProjectForm> project;
  TransportOptions transport;
};

// Submits `code` as a new job and returns the service's answer object (its "job_id" names
// the job). With a non-empty file_path, the script's local modules are bundled in first; a
// bundling failure is logged as a warning on the agent logger and the code goes alone; when
// the module bundle cannot carry the script as it runs in place (module_bundle_shortfall),
// a warning that suggests the project form is logged too. With `project`, the project
// bundle goes instead (see ProjectForm).
// One POST of {"code","file_path","resources","fast"} with a 60-second time-out, never
// retried. Returns null when the service answers the JSON value null.
// Throws: runtime_error (no key, nothing sent); InvalidAPIKeyError (401);
// InsufficientCreditsError (402; a body that is not a JSON object throws the decoder's or
// lookup's error instead); RateLimitError (429); ExecutionError "Submission failed (S): body"
// (any other status but 200); TransportError; json errors for a 200 body that is not JSON;
// nlohmann::json::type_error when it is JSON but neither an object nor null.
nlohmann::json submit_code(const std::string& code, const SubmitOptions& options = {});

// submit_code to `endpoint`, whose key and URL are already resolved (options.api_key,
// options.api_url and options.transport are not read). Throws as submit_code, except for a
// missing key: an empty key is sent as it is.
nlohmann::json submit_code_at(const Endpoint& endpoint, const std::string& code,
                              const SubmitOptions& options = {});

// The keyword arguments of poll_job.
struct PollOptions {
  std::optional<std::string> api_key;
  std::optional<std::string> api_url;
  bool follow_logs = true;
  double poll_interval = 2.0;  // seconds paused after each cycle that is not terminal
  std::ostream* out = nullptr;  // where log entries go; nullptr: std::cout
  Clock* clock = nullptr;       // pauses; nullptr: system_clock()
  TransportOptions transport;
  // Seconds each output request may wait at the service for new output (a long poll). When
  // the service says it waits (JobClient::output), a cycle whose output request waited is
  // not followed by the pause; otherwise the pause is poll_interval as before. 0: "wait" is
  // never sent.
  double long_poll = 0;
  // Seconds for which a status request that finds no service (a connection refused or
  // broken: is_connection_lost) or an unavailable one (502, 503, 504) is tried again, after
  // pauses of 0.25 s growing to 2 s, before it fails as it would at once; the log goes on
  // from where it was. 0: never tried again.
  double reconnect_for = 0;
};

// True for "completed", "failed" and "cancelled", compared exactly.
bool is_terminal_status(const nlohmann::json& status);

// Follows job `job_id` until its status is terminal and returns that status document.
// Each cycle: one status request (15 s); with follow_logs, the new log entries (10 s per
// page), each entry's "content" (else "text", else nothing) written unchanged and flushed;
// then, if not terminal, a pause of poll_interval. A 404 is retried after 2, 4, 6, 8 and 10
// seconds; the sixth in a row fails. Everything in the log step fails silently. A page
// marked "more": true is followed at once by the next one, so the log is written whole.
// The job id goes into the path percent-encoded where needed (encode_path_segment).
// long_poll and reconnect_for (PollOptions) change the pauses and what counts as a failure,
// never the text written.
// Throws: runtime_error (no key, nothing sent); ExecutionError "Failed to check job (S):
// body", or "Job not found after retries — server may have restarted."; TransportError of a
// status request; json errors for a status document that is not a JSON object.
nlohmann::json poll_job(const std::string& job_id, const PollOptions& options = {});

// poll_job on `endpoint`, whose key and URL are already resolved (options.api_key,
// options.api_url and options.transport are not read).
nlohmann::json poll_job_at(const Endpoint& endpoint, const std::string& job_id,
                           const PollOptions& options = {});

// ---- Single requests, for the host's commands ------------------------------------------

// JobClient(endpoint).status(job_id).
nlohmann::json fetch_job_status(const Endpoint& endpoint, const std::string& job_id);

// JobClient(endpoint).output(job_id, offset, out): the log pages from `offset` on, written
// as poll_job writes them. Returns the offset for the next request.
nlohmann::json fetch_job_output(const Endpoint& endpoint, const std::string& job_id,
                                const nlohmann::json& offset, std::ostream& out);

}  // namespace pelmora
