#pragma once
// Finding, and if need be starting, this user's local job service (`pelmora serve`).
//
// The service keeps everything in one data directory (mode 0700):
//   keys.json     its API keys (mode 0600), created on first start with one key "default"
//   service.json  where the running service listens: {"url": ..., "pid": ...} (mode 0600)
//   jobs.db       jobs and their output (SQLite, WAL)
//   jobs/<id>/    each job's working directory; the submitted text is jobs/<id>/main.py
//   service.log   output of a service started in the background by ensure_local_service
//
// The agent leaves alone every process whose script lies under jobs_dir(data_dir): those are
// the service's own jobs.

#include <optional>
#include <string>

namespace pelmora {

// The port `pelmora serve` listens on unless told otherwise.
inline constexpr int kDefaultServicePort = 8765;

// Where a local service can be reached, and a key it accepts.
struct LocalService {
  std::string url;      // "http://127.0.0.1:8765" (no trailing slash)
  std::string api_key;  // never print or log it
};

// $XDG_DATA_HOME/pelmora/service when XDG_DATA_HOME is an absolute path, else
// ~/.local/share/pelmora/service. Throws std::runtime_error when neither is set.
std::string default_data_dir();

// <data_dir>/jobs: the parent of every job's working directory.
std::string jobs_dir(const std::string& data_dir);

// <data_dir>/keys.json.
std::string keys_file(const std::string& data_dir);

// <data_dir>/service.json, written by a service when it starts listening.
std::string service_info_file(const std::string& data_dir);

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
// a key of keys.json, that one; otherwise `pelmora serve --data-dir DIR --port PORT` is
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
