#pragma once
// API keys of the job service, kept in the data directory's keys.json (mode 0600):
//   {"keys": [{"name": "default", "key": "pmk_...", "credits": null,
//              "submissions_per_minute": null}]}
// "credits" (a number) is the key's budget: every job costs max(1, resources.cpu) credits,
// counted over all the key's jobs. "submissions_per_minute" (an integer) caps submissions
// in any 60-second window. null or missing: no limit.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/sha256.h"

namespace pelmora::service {

struct KeyLimits {
  std::optional<double> credits;
  std::optional<int> submissions_per_minute;
};

// Who made a request. `owner` names the key in the job store without holding it: the first
// 32 hex digits of its SHA-256.
struct Caller {
  std::string owner;
  std::string name;
  KeyLimits limits;
};

// A new API key: "pmk_" + 40 lower-case hex digits (160 random bits).
std::string new_api_key();

// Creates `path` with one key named "default" when it does not exist. Returns true when it
// made the file. Throws std::runtime_error naming the file.
bool ensure_keys_file(const std::string& path);

// Adds a new key named `name` with `limits` to `path` (created when missing) and returns
// it. Safe against other processes adding keys at the same time (a lock file beside it).
// Throws std::runtime_error naming the file.
std::string add_key(const std::string& path, const std::string& name, const KeyLimits& limits);

struct StoredKey {
  std::string name;
  std::string key;
  KeyLimits limits;
};

// The keys of `path`. Throws std::runtime_error with a one-line message when the file cannot
// be read or is not of the form above.
std::vector<StoredKey> read_keys(const std::string& path);

// The keys a running service accepts. Thread-safe. The file is read again when it changes
// (its modification time, size or inode), so a key added by `pelmora serve --add-key` is
// accepted at once; a file that has become unreadable leaves the last good keys in force.
class KeyRing {
 public:
  // Throws like read_keys.
  explicit KeyRing(std::string path);

  // The caller whose key is `token`. Every stored key is compared, through its digest, in
  // time that does not depend on where the texts differ.
  std::optional<Caller> authenticate(std::string_view token);

 private:
  struct Entry {
    Digest digest;
    Caller caller;
  };
  void _reload_if_changed();

  std::string _path;
  std::mutex _mutex;
  std::vector<Entry> _entries;
  std::int64_t _mtime_ns = -1;
  std::int64_t _size = -1;
  std::uint64_t _inode = 0;
};

}  // namespace pelmora::service
