#pragma once
// JSON text from outside (request bodies, answers of a service, files others can write),
// parsed with a bound on nesting: a document nested thousands of levels deep would
// otherwise exhaust the stack of whatever copies, prints or destroys it. Every JSON document
// the service and the client read goes through here.

#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

namespace pelmora {

// Deeper nesting than any document of ours has; far below what exhausts a stack.
inline constexpr std::size_t kMaxJsonDepth = 64;

// Whether no array or object in `text` lies more than `max_depth` levels deep (brackets
// inside strings do not count). Malformed text passes as long as its brackets do: the
// parser decides the rest. Linear in the size of `text`, no allocation.
bool json_depth_within(std::string_view text, std::size_t max_depth = kMaxJsonDepth);

// `text` parsed as one JSON document, as nlohmann::json::parse does.
// Throws: nlohmann::json::parse_error for text that is not JSON or nests deeper than
// `max_depth`.
nlohmann::json parse_json(std::string_view text, std::size_t max_depth = kMaxJsonDepth);

// Like parse_json, without exceptions: a discarded value (is_discarded()) for text that is
// not JSON or nests too deep.
nlohmann::json parse_json_or_discarded(std::string_view text,
                                       std::size_t max_depth = kMaxJsonDepth);

}  // namespace pelmora
