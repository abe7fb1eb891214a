#include "service/keys.h"

#include <cerrno>
#include <optional>
#include <stdexcept>
#include <utility>

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

json limits_json(const KeyLimits& limits) {
  return json{{"credits", limits.credits ? json(*limits.credits) : json(nullptr)},
              {"submissions_per_minute",
               limits.submissions_per_minute ? json(*limits.submissions_per_minute) : json(nullptr)}};
}

json to_json(const std::vector<StoredKey>& keys) {
  json list = json::array();
  for (const auto& k : keys) {
    json entry = {{"name", k.name}, {"sha256", to_hex(k.digest)}};
    entry.update(limits_json(k.limits));
    list.push_back(std::move(entry));
  }
  return json{{"keys", list}};
}

std::optional<Digest> digest_from_hex(const std::string& text) {
  Digest digest{};
  if (text.size() != digest.size() * 2) return std::nullopt;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < digest.size(); ++i) {
    int high = nibble(text[2 * i]);
    int low = nibble(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    digest[i] = static_cast<std::uint8_t>(high * 16 + low);
  }
  return digest;
}

// A file's keys; `plain` gets, in order, the (name, key) of entries that hold a key in
// plain text.
std::vector<StoredKey> parse_keys(const std::string& path, const std::string& text,
                                  std::vector<std::pair<std::string, std::string>>* plain) {
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
    if (!item.is_object()) throw bad("every entry must be an object");
    StoredKey k;
    k.name = item.contains("name") && item["name"].is_string() ? item["name"].get<std::string>()
                                                                : "unnamed";
    if (item.contains("sha256")) {
      auto digest = item["sha256"].is_string()
                        ? digest_from_hex(item["sha256"].get<std::string>())
                        : std::nullopt;
      if (!digest) throw bad("\"sha256\" must be 64 lower-case hex digits");
      k.digest = *digest;
    } else if (item.contains("key") && item["key"].is_string()) {
      const std::string key = item["key"].get<std::string>();
      if (key.empty()) throw bad("an empty key");
      k.digest = sha256(key);
      if (plain != nullptr) plain->emplace_back(k.name, key);
    } else {
      throw bad("every entry needs a \"sha256\" string");
    }
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

std::string read_keys_text(const std::string& path) {
  try {
    return read_file_bytes(path);
  } catch (const FileError& e) {
    throw std::runtime_error("cannot read keys file " + path + ": " + e.what());
  }
}

void write_local_key(const std::string& path, const std::string& name, const std::string& key) {
  json entry = {{"name", name}, {"key", key}};
  write_private_file(path, json{{"keys", json::array({entry})}}.dump(2) + "\n");
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
  return parse_keys(path, read_keys_text(path), nullptr);
}

bool prepare_keys_file(const std::string& path, const std::string& local_key_path) {
  FileLock lock(path + ".lock");
  if (access(path.c_str(), F_OK) != 0) {
    std::string key = new_api_key();
    write_local_key(local_key_path, "default", key);
    write_private_file(path, to_json({StoredKey{"default", sha256(key), {}}}).dump(2) + "\n");
    return true;
  }
  std::vector<std::pair<std::string, std::string>> plain;
  auto keys = parse_keys(path, read_keys_text(path), &plain);
  if (plain.empty()) return false;
  if (access(local_key_path.c_str(), F_OK) != 0) {
    auto chosen = plain.front();
    for (const auto& entry : plain) {
      if (entry.first == "default") {
        chosen = entry;
        break;
      }
    }
    write_local_key(local_key_path, chosen.first, chosen.second);
  }
  write_private_file(path, to_json(keys).dump(2) + "\n");
  service_logger()->info("{}: {} key(s) now kept as digests only", path, plain.size());
  return false;
}

std::string add_key(const std::string& path, const std::string& name, const KeyLimits& limits) {
  FileLock lock(path + ".lock");
  std::vector<StoredKey> keys;
  if (access(path.c_str(), F_OK) == 0) keys = read_keys(path);
  std::string key = new_api_key();
  keys.push_back(StoredKey{name, sha256(key), limits});
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
    entries.push_back(Entry{k.digest, Caller{to_hex(k.digest).substr(0, 32), k.name, k.limits}});
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
