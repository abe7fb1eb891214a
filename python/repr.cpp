#include "python/repr.h"

#include <unicode/uchar.h>

#include "agent/platform/utf8.h"

namespace pelmora {
namespace {

constexpr char kHex[] = "0123456789abcdef";

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
    const Utf8Step step = decode_utf8(utf8, i);  // U+FFFD for a maximal ill-formed subpart
    const char32_t cp = step.code_point;
    i += step.length;
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
      if (cp == kReplacementCharacter) {
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
