#include <string>

#include "agent/records.h"

namespace pelmora {
namespace {

// Length of the UTF-8 sequence that starts with `lead`, or 1 for a byte that cannot start
// one (such a byte then counts as one character of its own).
size_t sequence_length(std::string_view text, size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  size_t len = 1;
  if (lead >= 0xC2 && lead <= 0xDF) len = 2;
  else if (lead >= 0xE0 && lead <= 0xEF) len = 3;
  else if (lead >= 0xF0 && lead <= 0xF4) len = 4;
  if (i + len > text.size()) return 1;
  for (size_t k = 1; k < len; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 1;
  }
  return len;
}

}  // namespace

std::string ProcessInfo::short_cmd() const {
  if (script_path && !script_path->empty()) {
    const size_t slash = script_path->rfind('/');
    return slash == std::string::npos ? *script_path : script_path->substr(slash + 1);
  }
  if (!cmdline.empty()) {
    std::string joined;
    for (size_t k = 0; k < cmdline.size(); ++k) {
      if (k > 0) joined += ' ';
      joined += cmdline[k];
    }
    size_t pos = 0;
    for (int chars = 0; chars < 60 && pos < joined.size(); ++chars) {
      pos += sequence_length(joined, pos);
    }
    joined.resize(pos);
    return joined;
  }
  return name.value_or("");
}

}  // namespace pelmora
