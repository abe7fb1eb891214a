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
