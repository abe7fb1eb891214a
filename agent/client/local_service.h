#pragma once
// Finding, and if need be starting, this user's local job service (`pelmora serve`), from
// the files of its data directory (agent/platform/data_dir.h). The agent leaves alone every
// process whose script lies under jobs_dir(data_dir): those are the service's own jobs.

#include <optional>
#include <string>

#include "agent/platform/data_dir.h"

namespace pelmora {

// Where a local service can be reached, and a key it accepts.
struct LocalService {
  std::string url;      // "http://127.0.0.1:8765" (no trailing slash)
  std::string api_key;  // never print or log it
};

// The URL of the service last started on `data_dir` (from service.json; the default
// "http://127.0.0.1:8765" when it has never run) and its first key (the one named "default"
// when there is one). Absent when the data directory has no readable key yet. Does not check
// that the service answers. Never throws.
std::optional<LocalService> read_local_service(const std::string& data_dir);

struct EnsureOptions {
  std::string data_dir;       // empty: default_data_dir()
  std::string pelmora_binary;  // empty: this program (/proc/self/exe)
  int port = kDefaultServicePort;  // for a service started here; 0 picks a free port
  std::string python;          // --python for a service started here; empty: python3
  double timeout_seconds = 15.0;  // how long to wait for a started service to answer
};

// The local service of `options.data_dir`: when one answers at the URL of service.json with
// the key of local_key.json, that one; otherwise `pelmora serve --data-dir DIR --port PORT` is
// started detached (its own session, standard input /dev/null, output appended to
// <data_dir>/service.log) and awaited until it answers. Safe to call from several processes
// at once: only one service runs per data directory.
// Throws std::runtime_error with a one-line message (naming the log file) when no service
// answers in time.
LocalService ensure_local_service(const EnsureOptions& options = {});

// True when a job service answers GET /v1/health at `url` with `api_key` within
// `timeout_seconds`. Never throws.
bool local_service_answers(const std::string& url, const std::string& api_key,
                           double timeout_seconds = 2.0);

}  // namespace pelmora
