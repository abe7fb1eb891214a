#pragma once
// A job's files brought back: the whole list read page by page, and the files written under
// a target directory that nothing the service sends can leave. Shared by `pelmora files`,
// `pelmora get` and `pelmora submit --get`.
//
// Every path an answer names is checked (agent/platform/relative_path.h) before use; the
// target's subdirectories are made and entered one component at a time with O_NOFOLLOW
// from the target's descriptor, so a symbolic link already in the target is never followed.
// A file is written to NAME.part (its source's ETag in NAME.part.etag) and renamed to NAME
// once whole; an interrupted download resumes from the .part file when the ETag still
// matches, and starts over otherwise.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "agent/client/job_client.h"

namespace pelmora::cli {

// One entry of a job's file list, as the service sent it and decoded.
struct RemoteFile {
  std::string path;  // raw bytes, checked
  std::string type;  // "file", "directory", "symlink", "other"
  std::uint64_t size = 0;
  double mtime = 0;
  bool executable = false;
  std::string etag;
  std::string target;  // a link's
};

// The decoded "path" (or "path_b64") of `entry`; nothing when missing or not a relative
// path that stays below its directory.
std::optional<std::string> entry_path(const nlohmann::json& entry, const char* key = "path");

struct FileList {
  std::vector<RemoteFile> files;
  std::vector<nlohmann::json> raw;  // the entries as sent, for --json
  std::vector<std::string> refused;  // entries whose path was refused, as the service named them
  nlohmann::json root;               // the answer's "root" (null: the working directory)
};

// Every entry, following the pages (at most kMaxPagesPerRead, and only while the offset
// rises). Throws what JobClient::files throws.
FileList list_job_files(const JobClient& client, const std::string& job_id);

struct GetRequest {
  std::string job_id;
  std::vector<std::string> paths;     // files or directories to fetch (none: everything)
  std::vector<std::string> patterns;  // globs on the relative path, '*' matching '/' too
  std::string to = ".";               // made when missing
  bool progress = false;              // show the progress of large files on standard error
};

struct GetResult {
  int files = 0;
  std::uint64_t bytes = 0;  // transferred (a resume counts only what it fetched)
  int skipped = 0;          // links, devices, FIFOs, refused paths and failures
  bool failed = false;      // a file could not be fetched or written
};

// Fetches the files `request` selects. One line per file (or skipped entry) to `out`,
// escaped for the terminal. Throws std::runtime_error for a path in `request.paths` that
// names nothing, for a target that cannot be made, and what list_job_files throws.
GetResult get_job_files(const JobClient& client, const GetRequest& request, std::ostream& out);

}  // namespace pelmora::cli
