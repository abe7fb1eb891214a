#include "cli/host_config.h"

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "agent/platform/json_text.h"
#include "agent/client/config.h"
#include "agent/platform/errors.h"
#include "agent/platform/files.h"

namespace pelmora::cli {

namespace {

std::optional<std::string> _env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string _config_dir() {
  if (auto xdg = _env("XDG_CONFIG_HOME"); xdg && !xdg->empty() && (*xdg)[0] == '/') {
    return join_path(*xdg, "pelmora");
  }
  if (auto home = _env("HOME"); home && !home->empty()) {
    return join_path(join_path(*home, ".config"), "pelmora");
  }
  throw std::runtime_error("cannot find the config directory: neither XDG_CONFIG_HOME nor HOME is set");
}

[[noreturn]] void _fail(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error(what + " " + path + ": " + errno_text(error));
}

}  // namespace

std::string login_file_path() { return join_path(_config_dir(), "login.json"); }

std::optional<SavedLogin> load_login() {
  try {
    // Most runs have no saved login: that case is answered without an exception.
    const std::string path = login_file_path();
    if (!is_regular_file(path)) return std::nullopt;
    const auto document = parse_json(read_file_bytes(path));
    SavedLogin login;
    login.api_key = document.at("api_key").get<std::string>();
    if (auto url = document.find("api_url"); url != document.end() && url->is_string()) {
      login.api_url = url->get<std::string>();
    }
    if (login.api_key.empty()) return std::nullopt;
    return login;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

HostCredentials resolve_host_credentials(const std::optional<std::string>& flag_key,
                                         const std::optional<std::string>& flag_url) {
  HostCredentials result;
  std::optional<SavedLogin> saved;
  if (auto key = resolve_api_key(flag_key); key && !key->empty()) {
    result.api_key = std::move(key);
    result.key_source = flag_key && !flag_key->empty() ? "flag" : "environment";
  } else if ((saved = load_login())) {
    result.api_key = saved->api_key;
    result.key_source = "login";
  }
  if (auto url = configured_api_url(flag_url)) {
    result.api_url = std::move(*url);
  } else if (saved && saved->api_url) {
    result.api_url = *saved->api_url;
  } else {
    result.api_url = std::string(_DEFAULT_API_URL);
  }
  return result;
}

void save_login(const std::optional<std::string>& api_url, const std::string& api_key) {
  const std::string dir = _config_dir();
  make_private_dirs(dir);
  const std::string path = join_path(dir, "login.json");

  nlohmann::ordered_json document = nlohmann::ordered_json::object();
  if (api_url && !api_url->empty()) document["api_url"] = *api_url;
  document["api_key"] = api_key;
  const std::string text = document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";

  write_private_file(path, text);
}

bool remove_login() {
  const std::string path = login_file_path();
  if (::unlink(path.c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  _fail("cannot remove", path, errno);
}

}  // namespace pelmora::cli
