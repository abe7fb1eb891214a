#pragma once
// The Python 3.13 grammar as CPython's parser applies it: a recognizer over the tokenizer's
// stream that builds no syntax tree and answers whether ast.parse would accept a text.
//
// Besides the grammar rules it applies the checks that CPython makes while it builds the
// tree: assignment, deletion and annotation targets, the order of parameters and of call
// arguments, f-string conversions, the concatenation of bytes with text, the escapes of
// string literals (\x, \u, \U, \N{...}), non-ASCII characters in bytes, decimal integers
// beyond 4300 digits, and the nesting limits: 200 brackets and 100 indentation levels in
// the tokenizer, CPython's parser stack of 6000 levels (counted per construct as CPython's
// generated parser counts them), and the depth of the syntax tree that ast.parse can hand
// back (9997 nodes below its recursion limit). It applies none of the checks that only the
// compiler makes (return outside a function, duplicate parameter names, ...).
//
// Thread safety: the functions keep no state; any number of threads may call them.

#include <cstdint>
#include <string>
#include <string_view>

#include "python/tokenizer.h"

namespace pelmora {

// The verdict on one source text. When `valid` is false, `message` is CPython's wording
// where the recognizer knows it ("invalid syntax" otherwise) and `line`/`offset` point at
// the offending token (1-based line, byte offset into the source).
struct SyntaxVerdict {
  bool valid = true;
  std::string message;
  std::uint32_t line = 0;
  std::uint32_t offset = 0;
};

// Whether CPython 3.13's ast.parse accepts `code` (UTF-8, already decoded), already
// tokenized. Callers outside the front end use check_source (python/source.h).
// Requires: `stream` is tokenize(code) without trivia.
SyntaxVerdict check_python_syntax(std::string_view code, const TokenStream& stream);

}  // namespace pelmora
