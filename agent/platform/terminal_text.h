#pragma once
// Text from other processes, made safe to print on a terminal.

#include <cstddef>
#include <string>
#include <string_view>

namespace pelmora {

// `text` with every control character (U+0000-U+001F, U+007F, U+0080-U+009F) and every
// byte that is not part of well-formed UTF-8 shown as \xNN (two lower-case hex digits, one
// per byte). Everything else, non-ASCII letters included, is unchanged.
std::string escape_for_terminal(std::string_view text);

// The length in bytes of the well-formed UTF-8 sequence that starts at `text[i]`, or 0 when
// none starts there (a stray continuation byte, an overlong form, a surrogate, a value above
// U+10FFFF, or a sequence cut short). Requires: i < text.size().
std::size_t utf8_sequence_length(std::string_view text, std::size_t i);

}  // namespace pelmora
