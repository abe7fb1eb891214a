// Ignore rules on arbitrary bytes: the text before the first NUL is an ignore file, the
// rest a list of paths, one a line. No crash, no hang; a path quoted character by
// character always matches itself, and the stack's answer is the last matching line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "agent/bundle/ignore_rules.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string_view rules_text = input.substr(0, nul);
  const std::string_view paths_text = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);

  std::vector<pelmora::IgnorePattern> rules = pelmora::parse_ignore_text(rules_text, "", ".gitignore");
  for (const pelmora::IgnorePattern& p : rules) {
    check(!p.pattern.empty() && p.pattern.find('\0') == std::string::npos);
  }
  pelmora::IgnoreStack stack;
  stack.push(rules);

  std::size_t start = 0;
  for (int n = 0; start <= paths_text.size() && n < 64; ++n) {
    std::size_t end = paths_text.find('\n', start);
    if (end == std::string_view::npos) end = paths_text.size();
    const std::string_view path = paths_text.substr(start, end - start);
    start = end + 1;
    if (path.empty() || path.find('\0') != std::string_view::npos) continue;
    std::string quoted;
    for (char c : path) {
      quoted += '\\';
      quoted += c;
    }
    check(pelmora::wildmatch(quoted, path));
    for (bool is_dir : {false, true}) {
      const pelmora::IgnorePattern* hit = stack.match(path, is_dir);
      const pelmora::IgnorePattern* last = nullptr;
      for (const pelmora::IgnorePattern& p : rules) {
        if (pelmora::pattern_matches(p, path, is_dir)) last = &p;
      }
      check((hit == nullptr) == (last == nullptr));
      if (hit != nullptr) check(hit->line == last->line && hit->pattern == last->pattern);
    }
  }
  return 0;
}
