#include "python/source.h"

#include "python/grammar.h"
#include "python/imports.h"
#include "python/tokenizer.h"

namespace pelmora {

SourceCheck check_source(std::string_view code) {
  SourceCheck check;
  const TokenStream stream = tokenize(code);
  SyntaxVerdict verdict = check_python_syntax(code, stream);
  if (!verdict.valid) {
    check.error = {std::move(verdict.message), verdict.line, verdict.offset};
    return check;
  }
  check.valid = true;
  check.imports = find_imports(code, stream.tokens);
  return check;
}

}  // namespace pelmora
