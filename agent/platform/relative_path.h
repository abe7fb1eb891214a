#pragma once
// Paths inside a job's directory, as the job service and its clients pass them: relative,
// '/'-separated byte strings that can only name something below the directory they are
// taken from. The service checks every path a request names with check_relative_path, and
// the client checks every path an answer names the same way before it writes anything.
//
// Names travel in JSON as "path" when they are well-formed UTF-8 and as "path_b64" (the raw
// bytes in standard base64, RFC 4648 with padding) otherwise, so no name is mangled.
//
// Thread safety: pure functions.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora {

// The longest path and the longest component accepted (Linux's PATH_MAX and NAME_MAX).
inline constexpr std::size_t kMaxRelativePath = 4096;
inline constexpr std::size_t kMaxPathComponent = 255;

// Why `path` is not a relative path that stays below its directory, or nothing when it is
// one: not empty, no leading '/', no NUL byte, no empty component (so no "//" and no
// trailing '/'), no "." or ".." component, at most kMaxRelativePath bytes and each
// component at most kMaxPathComponent. Any other byte, UTF-8 or not, is allowed.
std::optional<std::string> relative_path_problem(std::string_view path);

// The components of `path`. Requires: relative_path_problem(path) is empty.
std::vector<std::string> path_components(std::string_view path);

// Standard base64 with padding.
std::string base64_encode(std::string_view bytes);
// The bytes of standard base64 text with padding (no line breaks, no spaces); nothing when
// `text` is not that.
std::optional<std::string> base64_decode(std::string_view text);

}  // namespace pelmora
