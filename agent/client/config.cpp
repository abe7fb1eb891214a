#include "agent/client/config.h"

#include <cstdlib>
#include <stdexcept>

namespace pelmora {

namespace {

std::optional<std::string> _getenv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

}  // namespace

std::optional<std::string> resolve_api_key(const std::optional<std::string>& api_key) {
  if (api_key && !api_key->empty()) return api_key;
  if (auto key = _getenv("PELMORA_API_KEY"); key && !key->empty()) return key;
  return _getenv("GATEWAY_API_KEY");
}

std::optional<std::string> configured_api_url(const std::optional<std::string>& api_url) {
  if (api_url && !api_url->empty()) return api_url;
  return _getenv("PELMORA_API_URL");
}

std::string resolve_api_url(const std::optional<std::string>& api_url) {
  return configured_api_url(api_url).value_or(std::string(_DEFAULT_API_URL));
}

std::string require_api_key(const std::optional<std::string>& api_key) {
  auto key = resolve_api_key(api_key);
  if (!key || key->empty()) throw std::runtime_error(std::string(kNoApiKeyMessage));
  return *key;
}

}  // namespace pelmora
