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

std::string resolve_api_url(const std::optional<std::string>& api_url) {
  if (api_url && !api_url->empty()) return *api_url;
  if (auto url = _getenv("PELMORA_API_URL")) return *url;
  return std::string(_DEFAULT_API_URL);
}

std::string require_api_key(const std::optional<std::string>& api_key) {
  auto key = resolve_api_key(api_key);
  if (!key || key->empty()) throw std::runtime_error(std::string(kNoApiKeyMessage));
  return *key;
}

}  // namespace pelmora
