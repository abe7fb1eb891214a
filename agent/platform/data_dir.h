#pragma once
// Where this user's local job service keeps its data, known to the service (which writes
// it) and to the agent (which finds the service and leaves its jobs alone).
//
// The service keeps everything in one data directory (mode 0700):
//   state/              what jobs must never see (mode 0700, files 0600):
//     keys.json         the API keys, as SHA-256 digests only
//     local_key.json    the key "default", made on first start, for this user's own commands
//     jobs.db           jobs and their output (SQLite, WAL: also jobs.db-wal, jobs.db-shm)
//   jobs/<id>/          each job's working directory; the submitted text is jobs/<id>/main.py
//   service.json        where the running service listens: {"url": ..., "pid": ...} (0600)
//   service.log         output of a service started in the background
// A data directory from before state/ existed (keys.json and jobs.db at its top) is moved
// into this layout when a service starts on it.
//
// Pure path arithmetic over the environment: nothing here touches the file system
// (make_private_dirs in agent/platform/files.h makes the directory).

#include <string>

namespace pelmora {

// The port `pelmora serve` listens on unless told otherwise.
inline constexpr int kDefaultServicePort = 8765;

// $XDG_DATA_HOME/pelmora/service when XDG_DATA_HOME is an absolute path, else
// ~/.local/share/pelmora/service. Throws std::runtime_error when neither is set.
std::string default_data_dir();

// <data_dir>/jobs: the parent of every job's working directory.
std::string jobs_dir(const std::string& data_dir);

// <data_dir>/state: the service's own files, apart from the jobs.
std::string state_dir(const std::string& data_dir);

// <data_dir>/state/keys.json.
std::string keys_file(const std::string& data_dir);

// <data_dir>/state/local_key.json: {"keys": [{"name": "default", "key": "pmk_..."}]}, the one
// key kept in plain text, for this user's own commands (read_local_service).
std::string local_key_file(const std::string& data_dir);

// <data_dir>/state/jobs.db.
std::string jobs_db_file(const std::string& data_dir);

// <data_dir>/service.json, written by a service when it starts listening.
std::string service_info_file(const std::string& data_dir);

}  // namespace pelmora
