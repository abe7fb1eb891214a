#pragma once
// The one UTF-8 decoder: well-formed UTF-8 as Unicode defines it (no overlong forms, no
// surrogates, nothing above U+10FFFF), and U+FFFD for each maximal ill-formed subpart, as
// Python's bytes.decode("utf-8", errors="replace") gives it.
//
// Thread safety: pure functions.

#include <cstddef>
#include <string>
#include <string_view>

namespace pelmora {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// One decoding step: the code point at a position and the bytes it takes.
struct Utf8Step {
  char32_t code_point = kReplacementCharacter;
  std::size_t length = 1;  // 1-4 for a well-formed sequence; the maximal subpart otherwise
  bool well_formed = false;
};

// Decodes the sequence that starts at `text[pos]`. A well-formed sequence gives its code
// point; otherwise U+FFFD and the length of the maximal subpart there (the longest prefix of
// a well-formed sequence, at least one byte), so that the next step starts at the byte that
// broke it. Requires: pos < text.size().
Utf8Step decode_utf8(std::string_view text, std::size_t pos);

// `bytes` decoded, each maximal ill-formed subpart replaced by U+FFFD (EF BF BD).
std::string decode_utf8_replace(std::string_view bytes);

// Appends the UTF-8 encoding of `cp`. Requires: cp <= 0x10FFFF.
void append_utf8(std::string& out, char32_t cp);

}  // namespace pelmora
