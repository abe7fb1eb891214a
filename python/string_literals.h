#pragma once
// The checks CPython makes when it turns a string literal into its value: escapes that
// cannot be decoded and characters that bytes cannot hold. Invalid escapes such as "\d"
// are only warnings in CPython and pass here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelmora {

struct LiteralError {
  std::string message;      // CPython's reason ("truncated \xXX escape", ...)
  std::uint32_t offset = 0;  // byte offset of the fault within the text checked
};

// Checks the text of one STRING token (prefix, quotes and body).
std::optional<LiteralError> check_string_token(std::string_view token_text);

// Checks the literal text of an f-string (an FSTRING_MIDDLE token, doubled braces kept).
std::optional<LiteralError> check_fstring_middle(std::string_view text, bool raw);

// The code point that \N{name} stands for in CPython 3.13, or nullopt when CPython knows no
// such name.
std::optional<char32_t> lookup_unicode_name(std::string_view name);

}  // namespace pelmora
