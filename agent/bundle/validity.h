#pragma once
// Whether a text is valid Python 3.13 source.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/bundle/tokenizer.h"

namespace pelmora {

// True exactly when CPython 3.13's ast.parse accepts `code`: the grammar recognizer's
// verdict (agent/bundle/grammar.h).
bool is_valid_python(std::string_view code);

// The same decision for an already tokenized text (tokenize() without trivia).
bool is_valid_python(std::string_view code, const TokenStream& stream);

// A quicker, incomplete check on the token stream alone: false when CPython 3.13's parser
// certainly rejects `code` (every lexical error, bracket and indentation errors, an import
// statement off the grammar, and token-level rules that hold in every valid program:
// adjacent operands, an operator without its left operand, a block header without its
// block, ...). It never rejects valid code, but some invalid code passes it.
bool passes_token_checks(std::string_view code, const TokenStream& stream);

// Why passes_token_checks rejects a text: the tokenizer's message, or the rule that failed,
// and the byte offset where it was found. Empty for a text that passes.
struct InvalidReason {
  std::string message;
  std::uint32_t offset = 0;
};
std::optional<InvalidReason> why_invalid(std::string_view code, const TokenStream& stream);

}  // namespace pelmora
