#include "agent/bundle/future_imports.h"

#include "python/tokenizer.h"

namespace pelmora {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Reads the top of a module token by token; offsets are into the whole script.
class TopReader {
 public:
  TopReader(std::string_view code, size_t start)
      : code_(code), start_(start), tokens_(code.substr(start)) {
    advance();
  }

  const Token& token() const { return token_; }
  size_t begin() const { return start_ + token_.range.start; }
  size_t end() const { return start_ + token_.range.end; }
  int depth() const { return depth_; }

  void advance() {
    token_ = tokens_.next();
    if (token_.kind == TokenKind::LPAR) ++depth_;
    if (token_.kind == TokenKind::RPAR) --depth_;
  }

  bool is(TokenKind kind) const { return token_.kind == kind; }
  bool is_keyword(Keyword k) const { return token_.kind == TokenKind::NAME && token_.keyword == k; }
  bool is_name(std::string_view name) const {
    return token_.kind == TokenKind::NAME && token_.text(code_.substr(start_)) == name;
  }
  // The end of a simple statement: ';', the end of the logical line, or the end of the text.
  bool at_statement_end() const {
    return depth_ == 0 && (is(TokenKind::SEMI) || is(TokenKind::NEWLINE) || at_end());
  }
  // ENDMARKER, or a lexical error: nothing more is read.
  bool at_end() const { return is(TokenKind::ENDMARKER) || is(TokenKind::ERRORTOKEN); }

 private:
  std::string_view code_;
  size_t start_;
  Tokenizer tokens_;
  Token token_;
  int depth_ = 0;
};

// A docstring: a str constant as the whole first statement, '('* STRING+ ')'* (adjacent
// literals are one constant; byte strings and f-strings are not docstrings).
bool skip_docstring(TopReader& r) {
  while (r.is(TokenKind::LPAR)) r.advance();
  if (!r.is(TokenKind::STRING)) return false;
  while (r.is(TokenKind::STRING)) {
    if ((r.token().flags & token_flags::kBytes) != 0) return false;
    r.advance();
  }
  while (r.is(TokenKind::RPAR)) r.advance();
  return r.at_statement_end();
}

// 'from' '__future__' 'import' names.
bool skip_future_import(TopReader& r) {
  if (!r.is_keyword(Keyword::kFrom)) return false;
  r.advance();
  if (!r.is_name("__future__")) return false;
  r.advance();
  if (!r.is_keyword(Keyword::kImport)) return false;
  r.advance();
  while (!r.at_statement_end()) {
    const bool allowed = r.is(TokenKind::NAME) || r.is(TokenKind::LPAR) ||
                         r.is(TokenKind::RPAR) || r.is(TokenKind::COMMA);
    if (!allowed || r.at_end()) return false;
    r.advance();
  }
  return true;
}

}  // namespace

PreambleSplit find_preamble_split(std::string_view code) {
  const size_t start = code.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
  PreambleSplit best{start, start, false};
  TopReader r(code, start);
  bool first = true;
  while (!r.at_end()) {
    bool future = false;
    if (first && (r.is(TokenKind::STRING) || r.is(TokenKind::LPAR))) {
      if (!skip_docstring(r)) break;
    } else if (skip_future_import(r)) {
      future = true;
    } else {
      break;
    }
    first = false;
    if (r.is(TokenKind::ERRORTOKEN)) break;
    if (r.is(TokenKind::SEMI)) {
      const size_t after_semicolon = r.end();
      r.advance();
      if (r.is(TokenKind::NEWLINE) || r.is(TokenKind::ENDMARKER)) {
        if (future) best = {r.end(), r.end(), true};
        r.advance();
      } else if (future && !r.is(TokenKind::ERRORTOKEN)) {
        best = {after_semicolon, r.begin(), true};
      }
      continue;
    }
    // NEWLINE, or ENDMARKER right after the statement.
    if (future) best = {r.end(), r.end(), true};
    r.advance();
  }
  return best;
}

}  // namespace pelmora
