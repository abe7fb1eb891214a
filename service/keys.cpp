#include "service/keys.h"

#include <cerrno>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "agent/platform/errors.h"
#include "agent/platform/files.h"
#include "service/log.h"
#include "service/util.h"

namespace pelmora::service {
namespace {

using nlohmann::json;

json to_json(const std::vector<StoredKey>& keys) {
  json list = json::array();
  for (const auto& k : keys) {
    json entry = {{"name", k.name}, {"key", k.key}};
    entry["credits"] = k.limits.credits ? json(*k.limits.credits) : json(nullptr);
    entry["submissions_per_minute"] =
        k.limits.submissions_per_minute ? json(*k.limits.submissions_per_minute) : json(nullptr);
    list.push_back(std::move(entry));
  }
  return json{{"keys", list}};
}

std::vector<StoredKey> parse_keys(const std::string& path, const std::string& text) {
  auto bad = [&](const std::string& why) {
    return std::runtime_error("bad keys file " + path + ": " + why);
  };
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded()) throw bad("not valid JSON");
  if (!doc.is_object() || !doc.contains("keys") || !doc["keys"].is_array()) {
    throw bad("expected an object with a \"keys\" array");
  }
  std::vector<StoredKey> keys;
  for (const auto& item : doc["keys"]) {
    if (!item.is_object() || !item.contains("key") || !item["key"].is_string()) {
      throw bad("every entry needs a \"key\" string");
    }
    StoredKey k;
    k.key = item["key"].get<std::string>();
    if (k.key.empty()) throw bad("an empty key");
    k.name = item.contains("name") && item["name"].is_string() ? item["name"].get<std::string>()
                                                                : "unnamed";
    if (item.contains("credits") && !item["credits"].is_null()) {
      if (!item["credits"].is_number()) throw bad("\"credits\" must be a number or null");
      k.limits.credits = item["credits"].get<double>();
    }
    if (item.contains("submissions_per_minute") && !item["submissions_per_minute"].is_null()) {
      const auto& rate = item["submissions_per_minute"];
      if (!rate.is_number_integer() || rate.get<long long>() < 0 ||
          rate.get<long long>() > 1000000000) {
        throw bad("\"submissions_per_minute\" must be a non-negative integer or null");
      }
      k.limits.submissions_per_minute = rate.get<int>();
    }
    keys.push_back(std::move(k));
  }
  return keys;
}

// Holds an exclusive flock on `path` for its lifetime.
class FileLock {
 public:
  explicit FileLock(const std::string& path) {
    _fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (_fd < 0) throw std::runtime_error("cannot open " + path + ": " + errno_text(errno));
    while (flock(_fd, LOCK_EX) != 0) {
      if (errno != EINTR) {
        int error = errno;
        close(_fd);
        throw std::runtime_error("cannot lock " + path + ": " + errno_text(error));
      }
    }
  }
  ~FileLock() { close(_fd); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int _fd = -1;
};

}  // namespace

std::string new_api_key() { return "pmk_" + random_hex(20); }

std::vector<StoredKey> read_keys(const std::string& path) {
  std::string text;
  try {
    text = read_file_bytes(path);
  } catch (const FileError& e) {
    throw std::runtime_error("cannot read keys file " + path + ": " + e.what());
  }
  return parse_keys(path, text);
}

bool ensure_keys_file(const std::string& path) {
  FileLock lock(path + ".lock");
  if (access(path.c_str(), F_OK) == 0) return false;
  write_private_file(path, to_json({StoredKey{"default", new_api_key(), {}}}).dump(2) + "\n");
  return true;
}

std::string add_key(const std::string& path, const std::string& name, const KeyLimits& limits) {
  FileLock lock(path + ".lock");
  std::vector<StoredKey> keys;
  if (access(path.c_str(), F_OK) == 0) keys = read_keys(path);
  std::string key = new_api_key();
  keys.push_back(StoredKey{name, key, limits});
  write_private_file(path, to_json(keys).dump(2) + "\n");
  return key;
}

KeyRing::KeyRing(std::string path) : _path(std::move(path)) {
  std::lock_guard lock(_mutex);
  struct stat st {};
  if (stat(_path.c_str(), &st) != 0) {
    throw std::runtime_error("cannot read keys file " + _path + ": " + errno_text(errno));
  }
  _reload_if_changed();
  if (_mtime_ns < 0) read_keys(_path);  // the first read failed: report why
}

void KeyRing::_reload_if_changed() {
  struct stat st {};
  if (stat(_path.c_str(), &st) != 0) return;
  std::int64_t mtime = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                       st.st_mtim.tv_nsec;
  if (mtime == _mtime_ns && st.st_size == _size && st.st_ino == _inode) return;
  std::vector<StoredKey> keys;
  try {
    keys = read_keys(_path);
  } catch (const std::exception& e) {
    if (_mtime_ns >= 0) service_logger()->warn("keeping the previous keys: {}", e.what());
    return;
  }
  std::vector<Entry> entries;
  for (auto& k : keys) {
    Digest digest = sha256(k.key);
    entries.push_back(Entry{digest, Caller{to_hex(digest).substr(0, 32), k.name, k.limits}});
  }
  _entries = std::move(entries);
  _mtime_ns = mtime;
  _size = st.st_size;
  _inode = st.st_ino;
}

std::optional<Caller> KeyRing::authenticate(std::string_view token) {
  Digest digest = sha256(token);
  std::lock_guard lock(_mutex);
  _reload_if_changed();
  const Entry* found = nullptr;
  for (const auto& entry : _entries) {
    bool equal = digests_equal(entry.digest, digest);
    if (equal && found == nullptr) found = &entry;
  }
  if (found == nullptr || token.empty()) return std::nullopt;
  return found->caller;
}

}  // namespace pelmora::service
