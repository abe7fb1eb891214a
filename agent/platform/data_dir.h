#pragma once
// Where this user's local job service keeps its data, known to the service (which writes
// it) and to the agent (which finds the service and leaves its jobs alone).
//
// The service keeps everything in one data directory (mode 0700):
//   keys.json     its API keys (mode 0600), created on first start with one key "default"
//   service.json  where the running service listens: {"url": ..., "pid": ...} (mode 0600)
//   jobs.db       jobs and their output (SQLite, WAL)
//   jobs/<id>/    each job's working directory; the submitted text is jobs/<id>/main.py
//   service.log   output of a service started in the background
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

// <data_dir>/keys.json.
std::string keys_file(const std::string& data_dir);

// <data_dir>/service.json, written by a service when it starts listening.
std::string service_info_file(const std::string& data_dir);

}  // namespace pelmora
