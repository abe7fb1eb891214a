#include "python/repr.h"

#include <unicode/uchar.h>

namespace pelmora {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char kHex[] = "0123456789abcdef";

// Decodes the code point at `s[i]` and advances `i` past it. A maximal ill-formed subpart
// (Unicode 15.0, section 3.9, "U+FFFD substitution of maximal subparts") gives U+FFFD.
char32_t next_code_point(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  size_t len = 0;
  char32_t cp = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0Fu;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07u;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    ++i;
    return kReplacement;
  }
  ++i;
  for (size_t k = 1; k < len; ++k) {
    if (i >= s.size()) return kReplacement;
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < lo || b > hi) return kReplacement;  // this byte starts the next sequence
    cp = (cp << 6) | (b & 0x3Fu);
    lo = 0x80;
    hi = 0xBF;
    ++i;
  }
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void append_hex_escape(std::string& out, char kind, char32_t cp, int digits) {
  out += '\\';
  out += kind;
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
}

// Which quote delimits the literal: the double quote only for a text holding an apostrophe
// and no double quote.
char choose_quote(std::string_view s) {
  const bool has_single = s.find('\'') != std::string_view::npos;
  const bool has_double = s.find('"') != std::string_view::npos;
  return (has_single && !has_double) ? '"' : '\'';
}

}  // namespace

bool is_repr_printable(char32_t cp) {
  switch (u_charType(static_cast<UChar32>(cp))) {
    case U_CONTROL_CHAR:        // Cc
    case U_FORMAT_CHAR:         // Cf
    case U_SURROGATE:           // Cs
    case U_PRIVATE_USE_CHAR:    // Co
    case U_UNASSIGNED:          // Cn
    case U_LINE_SEPARATOR:      // Zl
    case U_PARAGRAPH_SEPARATOR: // Zp
    case U_SPACE_SEPARATOR:     // Zs
      return false;
    default:
      return true;
  }
}

std::string python_repr(std::string_view utf8) {
  const char quote = choose_quote(utf8);
  std::string out;
  out.reserve(utf8.size() + utf8.size() / 8 + 2);
  out += quote;
  size_t i = 0;
  while (i < utf8.size()) {
    // Plain ASCII runs are copied in one go.
    size_t j = i;
    while (j < utf8.size()) {
      const auto b = static_cast<unsigned char>(utf8[j]);
      if (b < 0x20 || b >= 0x7F || b == '\\' || b == static_cast<unsigned char>(quote)) break;
      ++j;
    }
    out.append(utf8.data() + i, j - i);
    i = j;
    if (i >= utf8.size()) break;

    const size_t start = i;
    const char32_t cp = next_code_point(utf8, i);
    if (cp == static_cast<char32_t>(quote) || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp < 0x20 || cp == 0x7F) {
      append_hex_escape(out, 'x', cp, 2);
    } else if (is_repr_printable(cp)) {
      if (cp == kReplacement) {
        append_utf8(out, cp);  // the input bytes may have been ill-formed
      } else {
        out.append(utf8.data() + start, i - start);
      }
    } else if (cp <= 0xFF) {
      append_hex_escape(out, 'x', cp, 2);
    } else if (cp <= 0xFFFF) {
      append_hex_escape(out, 'u', cp, 4);
    } else {
      append_hex_escape(out, 'U', cp, 8);
    }
  }
  out += quote;
  return out;
}

}  // namespace pelmora
