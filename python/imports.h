#pragma once
// Import statements of Python source: which module names a text imports.

#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "python/tokenizer.h"

namespace pelmora {

// Reads one import statement at `tokens[pos]` (the keyword import or from at a statement
// start) by the grammar
//   import_name: 'import' dotted_as_name (',' dotted_as_name)*
//   import_from: 'from' ('.' | '...')* dotted_name 'import' import_from_targets
//              | 'from' ('.' | '...')+ 'import' import_from_targets
//   import_from_targets: '(' import_from_as_names [','] ')' | import_from_as_names | '*'
// The statement must end at NEWLINE or ';'. On success returns true, sets `end` to the
// index of that NEWLINE or ';' and adds the first component of every module name taken
// (NFKC-normalised; none for `from . import x`) to `names`.
// Requires: tokens come from tokenize() without trivia.
bool read_import_statement(std::string_view source, const std::vector<Token>& tokens,
                           std::size_t pos, std::size_t& end, std::set<std::string>& names);

// The module names of every import statement in a token stream (without trivia), wherever
// it stands. Statements that do not follow the grammar give nothing.
std::set<std::string> find_imports(std::string_view source, const std::vector<Token>& tokens);

}  // namespace pelmora
