#include "agent/scanner/process_info.h"

#include <string>

#include "agent/platform/terminal_text.h"

namespace pelmora {

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
      // An undecodable byte counts as one character, as Python decodes command lines.
      const size_t len = utf8_sequence_length(joined, pos);
      pos += len == 0 ? 1 : len;
    }
    joined.resize(pos);
    return joined;
  }
  return name.value_or("");
}

}  // namespace pelmora
