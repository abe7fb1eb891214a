// libFuzzer target for the grammar recognizer: any byte string, taken as module text is
// taken (UTF-8 with replacement, LF newlines). Checks that the verdict is deterministic and
// that its position lies within the text.
//
// With PELMORA_GRAMMAR_VERDICTS=FILE in the environment, every input's verdict is appended
// to FILE as a JSON line {"code", "valid"}, so that the inputs a run kept can be compared
// with CPython (tests/oracle/grammar_fuzz_compare.py).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "agent/platform/files.h"
#include "python/source.h"

namespace {

void append_json_string(std::string& out, std::string_view s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = pelmora::normalize_newlines(pelmora::decode_utf8_replace(bytes));
  const pelmora::SourceCheck v = pelmora::check_source(text);
  const pelmora::SourceCheck again = pelmora::check_source(text);
  if (v.valid != again.valid || v.error.offset != again.error.offset) std::abort();
  if (!v.valid && (v.error.offset > text.size() || v.error.message.empty())) std::abort();
  if (const char* path = std::getenv("PELMORA_GRAMMAR_VERDICTS")) {
    std::string line = "{\"code\": ";
    append_json_string(line, text);
    line += v.valid ? ", \"valid\": true}\n" : ", \"valid\": false}\n";
    if (FILE* f = std::fopen(path, "a")) {
      std::fwrite(line.data(), 1, line.size(), f);
      std::fclose(f);
    }
  }
  return 0;
}
