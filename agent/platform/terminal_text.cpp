#include "agent/platform/terminal_text.h"

namespace pelmora {
namespace {

unsigned char byte_at(std::string_view text, std::size_t i) {
  return static_cast<unsigned char>(text[i]);
}

bool in_range(unsigned char b, unsigned char lo, unsigned char hi) { return b >= lo && b <= hi; }

void append_hex(std::string& out, unsigned char b) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out += kDigits[b >> 4];
  out += kDigits[b & 0xF];
}

}  // namespace

std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
  const unsigned char lead = byte_at(text, i);
  if (lead < 0x80) return 1;
  std::size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (in_range(lead, 0xC2, 0xDF)) {
    len = 2;
  } else if (lead == 0xE0) {
    len = 3;
    lo = 0xA0;
  } else if (in_range(lead, 0xE1, 0xEC) || in_range(lead, 0xEE, 0xEF)) {
    len = 3;
  } else if (lead == 0xED) {
    len = 3;
    hi = 0x9F;
  } else if (lead == 0xF0) {
    len = 4;
    lo = 0x90;
  } else if (in_range(lead, 0xF1, 0xF3)) {
    len = 4;
  } else if (lead == 0xF4) {
    len = 4;
    hi = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - i < len) return 0;
  if (!in_range(byte_at(text, i + 1), lo, hi)) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    if (!in_range(byte_at(text, i + k), 0x80, 0xBF)) return 0;
  }
  return len;
}

std::string escape_for_terminal(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t len = utf8_sequence_length(text, i);
    const unsigned char lead = byte_at(text, i);
    if (len == 0) {
      append_hex(out, lead);
      i += 1;
    } else if (len == 1) {
      if (lead < 0x20 || lead == 0x7F) {
        append_hex(out, lead);
      } else {
        out += text[i];
      }
      i += 1;
    } else {
      // U+0080-U+009F are encoded as C2 80 - C2 9F: show the code point, not the bytes.
      const unsigned char second = byte_at(text, i + 1);
      if (lead == 0xC2 && second <= 0x9F) {
        append_hex(out, second);
      } else {
        out.append(text.substr(i, len));
      }
      i += len;
    }
  }
  return out;
}

}  // namespace pelmora
