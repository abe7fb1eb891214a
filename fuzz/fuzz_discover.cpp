// Tokenizer, validity check, import names and discovery on arbitrary bytes: no crash, no
// hang, no out-of-bounds read. Checks the stream's invariants as it goes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "agent/bundle/discover.h"
#include "python/source.h"
#include "python/tokenizer.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void check_stream(std::string_view src, const pelmora::TokenStream& s) {
  check(!s.tokens.empty());
  std::uint32_t pos = 0;
  for (std::size_t i = 0; i < s.tokens.size(); ++i) {
    const pelmora::Token& t = s.tokens[i];
    check(t.range.start <= t.range.end && t.range.end <= src.size());
    check(t.range.start >= pos);
    pos = t.range.start;
    const bool last = i + 1 == s.tokens.size();
    check(last == (t.kind == pelmora::TokenKind::ENDMARKER ||
                   t.kind == pelmora::TokenKind::ERRORTOKEN));
  }
  check(s.error.has_value() == (s.tokens.back().kind == pelmora::TokenKind::ERRORTOKEN));
  // Every byte is read at most a few times: a stream never has more tokens than bytes,
  // plus the INDENT/DEDENT/NEWLINE/ENDMARKER tokens of the lines.
  check(s.tokens.size() <= 4 * src.size() + 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view src(reinterpret_cast<const char*>(data), size);
  check_stream(src, pelmora::tokenize(src));
  pelmora::TokenizerOptions trivia;
  trivia.trivia = true;
  check_stream(src, pelmora::tokenize(src, trivia));
  const pelmora::SourceCheck scan = pelmora::check_source(src);
  check(scan.valid == pelmora::check_source(src).valid);
  if (!scan.valid) check(scan.imports.empty() && !scan.error.message.empty());
  // Discovery in a directory that does not exist: only the scanning runs.
  std::set<std::string> seen;
  const pelmora::ModuleMap m =
      pelmora::_discover_local_modules(src, "/nonexistent/pelmora-fuzz", seen);
  check(m.empty());
  return 0;
}
