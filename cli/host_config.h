#pragma once
// Where the pelmora commands find the job service and its key: flags, then the
// environment, then the login saved by `pelmora login`.
//
// The saved login is one small JSON file, $XDG_CONFIG_HOME/pelmora/login.json (or
// ~/.config/pelmora/login.json), mode 0600 in a directory of mode 0700, replaced
// atomically. Its key and URL belong together: the saved URL is used only with the saved
// key, so a key from a flag or the environment is never sent to a URL it was not meant for
// unless a flag or PELMORA_API_URL says so.

#include <optional>
#include <string>

namespace pelmora::cli {

struct HostCredentials {
  std::optional<std::string> api_key;  // absent: no key anywhere
  std::string api_url;
  // Where the key came from, for messages: "flag", "environment", "login" or "none".
  std::string key_source = "none";
};

struct SavedLogin {
  std::string api_key;
  std::optional<std::string> api_url;
};

// The library's rule (agent/client/config.h) plus the saved login. The key:
// resolve_api_key(flag_key) when it yields a usable (non-empty) key; else the saved login's
// key; else absent. The URL: configured_api_url(flag_url) when present; else the saved
// login's URL when the key is the saved one and it has a URL; else _DEFAULT_API_URL. A
// saved login that cannot be read counts as none. Never throws for a missing key: the
// caller decides. The commands resolve once and hand the result on as it is.
HostCredentials resolve_host_credentials(const std::optional<std::string>& flag_key,
                                         const std::optional<std::string>& flag_url);

// The file of the saved login. Throws std::runtime_error when neither XDG_CONFIG_HOME (an
// absolute path) nor HOME is set.
std::string login_file_path();

// The saved login, if there is a readable one.
std::optional<SavedLogin> load_login();

// Saves the login (mode 0600, written to a temporary file and renamed over the old one).
// Throws std::runtime_error with the file's path and the system's text on failure.
void save_login(const std::optional<std::string>& api_url, const std::string& api_key);

// Removes the saved login. Returns false when there was none.
// Throws std::runtime_error when it exists and cannot be removed.
bool remove_login();

}  // namespace pelmora::cli
