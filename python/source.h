#pragma once
// The Python 3.13 front end's entry point: whether a source text is valid, and what it
// imports. The tokenizer (python/tokenizer.h), the grammar recognizer (python/grammar.h)
// and the import reader (python/imports.h) are the layers below it.
//
// Thread safety: check_source keeps no state; any number of threads may call it.

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace pelmora {

// Where and why CPython 3.13 refuses a text: its message where the recognizer knows it
// ("invalid syntax" otherwise), the 1-based line and the byte offset into the source of the
// offending token.
struct SourceError {
  std::string message;
  std::uint32_t line = 0;
  std::uint32_t offset = 0;
};

struct SourceCheck {
  // True exactly when CPython 3.13's ast.parse accepts the text.
  bool valid = false;
  // The first error; empty when the text is valid.
  SourceError error;
  // The first component of every module name that an import statement of a valid text
  // names, NFKC-normalised, in code-point order (none for `from . import x`); empty when
  // the text is invalid.
  std::set<std::string> imports;
};

// The verdict on `code` (UTF-8, already decoded, LF line ends) and its import names.
SourceCheck check_source(std::string_view code);

}  // namespace pelmora
