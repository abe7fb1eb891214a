#include "agent/platform/json_text.h"

#include <string>

namespace pelmora {

bool json_depth_within(std::string_view text, std::size_t max_depth) {
  std::size_t depth = 0;
  bool in_string = false;
  bool escaped = false;
  for (char c : text) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        in_string = true;
        break;
      case '[':
      case '{':
        if (++depth > max_depth) return false;
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return true;
}

nlohmann::json parse_json(std::string_view text, std::size_t max_depth) {
  if (!json_depth_within(text, max_depth)) {
    throw nlohmann::json::parse_error::create(
        101, 0, "JSON nested more than " + std::to_string(max_depth) + " levels deep", nullptr);
  }
  return nlohmann::json::parse(text);
}

nlohmann::json parse_json_or_discarded(std::string_view text, std::size_t max_depth) {
  if (!json_depth_within(text, max_depth)) return nlohmann::json(nlohmann::json::value_t::discarded);
  return nlohmann::json::parse(text, nullptr, false);
}

}  // namespace pelmora
