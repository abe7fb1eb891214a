// Identifier characters through ICU, with the Unicode 15.1 changes that CPython 3.13 has and
// ICU 72 (Unicode 15.0) lacks.
#include "python/unicode_ident.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace pelmora {

namespace {

bool is_ascii_start(char32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// Unicode 15.1 made these XID_Continue (they are not in ICU 72's data).
bool is_new_continue(char32_t c) {
  return c == 0x200C || c == 0x200D || c == 0x30FB || c == 0xFF65;
}

// CJK Unified Ideographs Extension I and the new ideographic description characters are
// letters in Unicode 15.1 (XID_Start only for Extension I: the others are symbols).
bool is_new_start(char32_t c) { return c >= 0x2EBF0 && c <= 0x2EE5D; }

}  // namespace

bool is_identifier_start(char32_t c) {
  if (c < 0x80) return is_ascii_start(c);
  if (is_new_start(c)) return true;
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_XID_START) != 0;
}

bool is_identifier_continue(char32_t c) {
  if (c < 0x80) return is_ascii_start(c) || (c >= '0' && c <= '9');
  if (is_new_start(c) || is_new_continue(c)) return true;
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_XID_CONTINUE) != 0;
}

char32_t decode_utf8_at(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b0 = byte(pos);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  std::size_t len = 0;
  char32_t c = 0;
  char32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, c = b0 & 0x1Fu, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, c = b0 & 0x0Fu, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, c = b0 & 0x07u, min = 0x10000;
  } else {
    ++pos;
    return 0xFFFD;
  }
  if (pos + len > text.size()) {
    ++pos;
    return 0xFFFD;
  }
  for (std::size_t i = 1; i < len; ++i) {
    const unsigned char b = byte(pos + i);
    if ((b & 0xC0u) != 0x80u) {
      ++pos;
      return 0xFFFD;
    }
    c = (c << 6) | (b & 0x3Fu);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++pos;
    return 0xFFFD;
  }
  pos += len;
  return c;
}

std::string normalize_identifier(std::string_view name) {
  bool ascii = true;
  for (char ch : name) {
    if (static_cast<unsigned char>(ch) >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) return std::string(name);
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
  if (U_FAILURE(status) || nfkc == nullptr) return std::string(name);
  const icu::UnicodeString source =
      icu::UnicodeString::fromUTF8(icu::StringPiece(name.data(), static_cast<int32_t>(name.size())));
  icu::UnicodeString normalized = nfkc->normalize(source, status);
  if (U_FAILURE(status)) return std::string(name);
  std::string out;
  normalized.toUTF8String(out);
  return out;
}

}  // namespace pelmora
