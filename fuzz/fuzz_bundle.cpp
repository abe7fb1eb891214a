// Fuzz target: the string-literal form and bundle assembly on arbitrary bytes.
// Checks: a literal is one line between its quotes; the preamble split stays inside the
// script at a line start or after a ';'; a bundle holds the script's tail unchanged and
// 3M + 5 lines ahead of it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "agent/bundle/bundle.h"
#include "agent/bundle/future_imports.h"
#include "python/repr.h"
#include "agent/platform/files.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const std::string literal = pelmora::python_repr(bytes);
  check(literal.size() >= 2 && literal.front() == literal.back());
  check(literal.find('\n') == std::string::npos && literal.find('\r') == std::string::npos);

  const std::string code = pelmora::normalize_newlines(pelmora::decode_utf8_replace(bytes));
  const pelmora::PreambleSplit split = pelmora::find_preamble_split(code);
  check(split.head_end <= split.tail_start && split.tail_start <= code.size());
  if (split.has_future_imports) {
    const char last = code[split.head_end - 1];
    check(split.head_end == code.size() || last == '\n' || last == ';');
  }

  const pelmora::ModuleMap modules = {{"m", code}, {"n", std::string(bytes)}};
  const std::string bundle = pelmora::assemble_bundle(code, modules);
  const std::string_view tail = std::string_view(code).substr(split.tail_start);
  check(bundle.size() >= tail.size() && bundle.ends_with(tail));
  size_t lines = 0;
  for (std::size_t i = split.head_end; i < bundle.size() - tail.size(); ++i) lines += bundle[i] == '\n';
  // Without future imports the head is empty or the byte-order mark alone.
  const bool head_ends_line = !split.has_future_imports || code[split.head_end - 1] == '\n';
  check(lines == 3 * modules.size() + 5 + (head_ends_line ? 0 : 1));
  return 0;
}
