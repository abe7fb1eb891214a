#pragma once
// Where the job service is and which key to show it: the one resolution rule, applied by the
// daemon's constructor, submit_code and poll_job to their own arguments, and by the pelmora
// command (cli/host_config.h) before it adds the saved login. The environment is only read.

#include <optional>
#include <string>
#include <string_view>

namespace pelmora {

// The job service's base URL when neither an argument nor PELMORA_API_URL names one:
// scheme and host only, no path, no trailing slash. Request paths are appended to it.
inline constexpr std::string_view _DEFAULT_API_URL = "https://api.pelmora.dev";

// The message of the runtime error raised when no usable API key is found.
inline constexpr std::string_view kNoApiKeyMessage =
    "No API key.  Pass api_key= or set PELMORA_API_KEY env var.";

// The API key: `api_key` when present and not empty; else PELMORA_API_KEY when set and not
// empty; else the value of GATEWAY_API_KEY as it is (absent when unset, "" when set but
// empty). Never trimmed or changed. Thread-safe as long as nobody writes the environment.
std::optional<std::string> resolve_api_key(const std::optional<std::string>& api_key);

// The base URL named by the caller or the environment: `api_url` when present and not
// empty; else PELMORA_API_URL when set, even when empty; else absent.
std::optional<std::string> configured_api_url(const std::optional<std::string>& api_url);

// The base URL: configured_api_url, else _DEFAULT_API_URL. Used as given: nothing is
// validated, no slash added or removed.
std::string resolve_api_url(const std::optional<std::string>& api_url);

// resolve_api_key, for a caller that must have a key.
// Throws: std::runtime_error(kNoApiKeyMessage) when the result is absent or empty.
std::string require_api_key(const std::optional<std::string>& api_key);

}  // namespace pelmora
