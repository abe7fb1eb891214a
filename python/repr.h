#pragma once
// The string-literal form of a text: what Python's repr() gives for a str.

#include <string>
#include <string_view>

namespace pelmora {

// The Python string literal that reads back as exactly `utf8`, written the way CPython's
// repr() writes it: apostrophes as delimiters unless the text holds an apostrophe and no
// double quote; backslash, the delimiter, \t \n \r, other C0 controls and DEL escaped;
// characters from U+0080 up escaped (\xhh, \uhhhh, \Uhhhhhhhh, lower-case hex) when their
// general category is Cc, Cf, Cs, Co, Cn, Zl, Zp or Zs, written plainly otherwise. The
// result never holds a line break.
//
// General categories come from the ICU linked in (Unicode 15.0 for ICU 72); code points
// assigned only in a later Unicode version are escaped where a newer CPython writes them
// plainly. Both literals read back as the same text.
//
// `utf8` should be valid UTF-8. Each maximal ill-formed byte sequence is taken as one
// U+FFFD, as Python's UTF-8 decoder with errors="replace" does, so the literal then stands
// for the decoded text (a \x escape would stand for a code point, not for the raw byte).
std::string python_repr(std::string_view utf8);

// True when CPython's repr() writes the code point `cp` (U+0080 and up) plainly.
bool is_repr_printable(char32_t cp);

}  // namespace pelmora
