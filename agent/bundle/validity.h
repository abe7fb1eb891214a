#pragma once
// Whether a text is valid Python 3.13 source.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent/bundle/tokenizer.h"

namespace pelmora {

// False when CPython 3.13's parser certainly rejects `code`: every lexical error, bracket
// and indentation errors, an import statement off the grammar, and a set of token-level
// rules that hold in every valid program (adjacent operands, an operator without its left
// operand, a statement that ends on an operator, a block header without its block, else /
// elif / except / finally without the statement they continue, ...). True otherwise: the
// check never rejects valid code, but some invalid code passes it.
bool is_valid_python(std::string_view code);

// The same decision for an already tokenized text (tokenize() without trivia).
bool is_valid_python(std::string_view code, const TokenStream& stream);

// Why is_valid_python rejects a text: the tokenizer's message, or the rule that failed, and
// the byte offset where it was found. Empty for a text that passes.
struct InvalidReason {
  std::string message;
  std::uint32_t offset = 0;
};
std::optional<InvalidReason> why_invalid(std::string_view code, const TokenStream& stream);

}  // namespace pelmora
