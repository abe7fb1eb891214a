#include "agent/platform/terminal_text.h"

#include "agent/platform/utf8.h"

namespace pelmora {
namespace {

unsigned char byte_at(std::string_view text, std::size_t i) {
  return static_cast<unsigned char>(text[i]);
}

void append_hex(std::string& out, unsigned char b) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out += kDigits[b >> 4];
  out += kDigits[b & 0xF];
}

}  // namespace

std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
  const Utf8Step step = decode_utf8(text, i);
  return step.well_formed ? step.length : 0;
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
