#pragma once
// API keys of the job service, kept in the state directory's keys.json (mode 0600) as
// SHA-256 digests only: a key is shown once, when it is made, and never stored in plain text
// (but for the key "default" of this user's own commands: see local_key_file).
//   {"keys": [{"name": "default", "sha256": "<64 hex digits>", "credits": null,
//              "submissions_per_minute": null}]}
// An entry of an older file may hold the key itself ("key": "pmk_...") instead of "sha256";
// prepare_keys_file rewrites such a file. "credits" (a number) is the key's budget: every job costs max(1, resources.cpu) credits,
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

// Readies the keys file `path` at a service's start. When it does not exist, it is made
// with one new key named "default", whose text goes to `local_key_path` only
// ({"keys": [{"name": "default", "key": "pmk_..."}]}, mode 0600). When it still holds keys in
// plain text, they are replaced by their digests; the plain "default" key (else the first)
// is kept in `local_key_path` when that file does not exist yet. Returns true when it made a
// new key. The directory must exist. Throws std::runtime_error naming the file.
bool prepare_keys_file(const std::string& path, const std::string& local_key_path);

// Adds a new key named `name` with `limits` to `path` (created when missing; its digest only)
// and returns it: the one time the key is known. Safe against other processes adding keys at
// the same time (a lock file beside it). Throws std::runtime_error naming the file.
std::string add_key(const std::string& path, const std::string& name, const KeyLimits& limits);

struct StoredKey {
  std::string name;
  Digest digest;  // SHA-256 of the key
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
