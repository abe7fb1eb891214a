#include "agent/bundle/future_imports.h"

#include <string>

namespace pelmora {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

enum class Kind { kName, kString, kDocString, kOp, kNewline, kEnd, kOther };

struct Token {
  Kind kind;
  size_t begin;
  size_t end;
};

bool is_name_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_name_char(char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }

// A string prefix that Python accepts; `docstring` tells whether a literal with it is a
// str constant (no b, no f).
bool is_string_prefix(std::string_view p, bool& docstring) {
  std::string lower;
  for (char c : p) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  docstring = lower.empty() || lower == "r" || lower == "u";
  return docstring || lower == "b" || lower == "br" || lower == "rb" || lower == "f" ||
         lower == "fr" || lower == "rf";
}

// Just enough of Python's lexer for the top of a module: names, plain string literals,
// brackets and single-character operators, logical line ends. Comments, blank lines,
// backslash continuations and line breaks inside brackets are skipped as the language
// does. F-strings and anything else are kOther: the scan stops there.
class TopLexer {
 public:
  TopLexer(std::string_view s, size_t pos) : s_(s), pos_(pos) {}

  Token next() {
    for (;;) {
      while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\f')) ++pos_;
      if (pos_ >= s_.size()) return {Kind::kEnd, pos_, pos_};
      const char c = s_[pos_];
      if (c == '\\') {
        const size_t nl = newline_length(pos_ + 1);
        if (nl == 0) return other();
        pos_ += 1 + nl;
        continue;
      }
      if (c == '#') {
        while (pos_ < s_.size() && s_[pos_] != '\n' && s_[pos_] != '\r') ++pos_;
        continue;
      }
      if (const size_t nl = newline_length(pos_); nl != 0) {
        const size_t begin = pos_;
        pos_ += nl;
        if (depth_ > 0 || at_line_start_) continue;
        at_line_start_ = true;
        return {Kind::kNewline, begin, pos_};
      }
      at_line_start_ = false;
      const size_t begin = pos_;
      if (is_name_start(c)) {
        while (pos_ < s_.size() && is_name_char(s_[pos_])) ++pos_;
        if (pos_ < s_.size() && (s_[pos_] == '\'' || s_[pos_] == '"')) {
          bool docstring = false;
          if (!is_string_prefix(s_.substr(begin, pos_ - begin), docstring)) return other();
          if (!docstring) return other();
          return string_literal(begin);
        }
        if (pos_ < s_.size() && static_cast<unsigned char>(s_[pos_]) >= 0x80) return other();
        return {Kind::kName, begin, pos_};
      }
      if (c == '\'' || c == '"') return string_literal(begin);
      if (c == '(' || c == '[' || c == '{') {
        ++depth_;
        ++pos_;
        return {Kind::kOp, begin, pos_};
      }
      if (c == ')' || c == ']' || c == '}') {
        if (depth_ == 0) return other();
        --depth_;
        ++pos_;
        return {Kind::kOp, begin, pos_};
      }
      if (c == ';' || c == ',' || c == '.' || c == '*') {
        ++pos_;
        return {Kind::kOp, begin, pos_};
      }
      return other();
    }
  }

  int depth() const { return depth_; }

 private:
  size_t newline_length(size_t at) const {
    if (at >= s_.size()) return 0;
    if (s_[at] == '\n') return 1;
    if (s_[at] == '\r') return (at + 1 < s_.size() && s_[at + 1] == '\n') ? 2 : 1;
    return 0;
  }

  Token other() {
    const Token t{Kind::kOther, pos_, pos_};
    pos_ = s_.size();  // nothing after an unknown token is read
    return t;
  }

  // The literal whose prefix starts at `begin`; pos_ is at its opening quote.
  Token string_literal(size_t begin) {
    const char q = s_[pos_];
    const bool triple = pos_ + 2 < s_.size() && s_[pos_ + 1] == q && s_[pos_ + 2] == q;
    pos_ += triple ? 3 : 1;
    while (pos_ < s_.size()) {
      const char c = s_[pos_];
      if (c == '\\') {
        // The escaped character never ends the literal, in raw strings too.
        const size_t nl = newline_length(pos_ + 1);
        pos_ += 1 + (nl != 0 ? nl : 1);
        continue;
      }
      if (c == q) {
        if (!triple) {
          ++pos_;
          return {Kind::kDocString, begin, pos_};
        }
        if (pos_ + 2 < s_.size() && s_[pos_ + 1] == q && s_[pos_ + 2] == q) {
          pos_ += 3;
          return {Kind::kDocString, begin, pos_};
        }
      } else if (!triple && (c == '\n' || c == '\r')) {
        return other();  // unterminated
      }
      ++pos_;
    }
    return other();
  }

  std::string_view s_;
  size_t pos_;
  int depth_ = 0;
  bool at_line_start_ = true;
};

bool is_name(std::string_view code, const Token& t, std::string_view name) {
  return t.kind == Kind::kName && code.substr(t.begin, t.end - t.begin) == name;
}
bool is_op(std::string_view code, const Token& t, char op) {
  return t.kind == Kind::kOp && t.end == t.begin + 1 && code[t.begin] == op;
}
bool ends_statement(std::string_view code, const Token& t) {
  return t.kind == Kind::kNewline || t.kind == Kind::kEnd || is_op(code, t, ';');
}

// docstring: '('* STRING+ ')'* with as many closing as opening brackets. On success `t`
// is the token after it.
bool skip_docstring(std::string_view code, TopLexer& lx, Token& t) {
  int open = 0;
  while (is_op(code, t, '(')) {
    ++open;
    t = lx.next();
  }
  if (t.kind != Kind::kDocString) return false;
  while (t.kind == Kind::kDocString) t = lx.next();
  for (; open > 0; --open) {
    if (!is_op(code, t, ')')) return false;
    t = lx.next();
  }
  return true;
}

// future_import: 'from' '__future__' 'import' names, up to the end of the statement.
// On success `t` is the token after it.
bool skip_future_import(std::string_view code, TopLexer& lx, Token& t) {
  if (!is_name(code, t, "from")) return false;
  t = lx.next();
  if (!is_name(code, t, "__future__")) return false;
  t = lx.next();
  if (!is_name(code, t, "import")) return false;
  t = lx.next();
  while (!(lx.depth() == 0 && ends_statement(code, t))) {
    const bool allowed = t.kind == Kind::kName || is_op(code, t, '(') ||
                         is_op(code, t, ')') || is_op(code, t, ',');
    if (!allowed) return false;
    t = lx.next();
  }
  return true;
}

}  // namespace

PreambleSplit find_preamble_split(std::string_view code) {
  const size_t start = code.substr(0, kByteOrderMark.size()) == kByteOrderMark
                           ? kByteOrderMark.size()
                           : 0;
  PreambleSplit best{start, start, false};
  TopLexer lx(code, start);
  Token t = lx.next();
  bool first = true;
  while (t.kind != Kind::kEnd) {
    bool future = false;
    if (first && (t.kind == Kind::kDocString || is_op(code, t, '('))) {
      if (!skip_docstring(code, lx, t)) break;
    } else if (skip_future_import(code, lx, t)) {
      future = true;
    } else {
      break;
    }
    first = false;
    if (is_op(code, t, ';')) {
      const size_t after_semicolon = t.end;
      t = lx.next();
      if (t.kind == Kind::kNewline || t.kind == Kind::kEnd) {
        if (future) best = {t.end, t.end, true};
        t = lx.next();
      } else if (future) {
        best = {after_semicolon, t.begin, true};
      }
      continue;
    }
    if (t.kind != Kind::kNewline && t.kind != Kind::kEnd) break;
    if (future) best = {t.end, t.end, true};
    t = lx.next();
  }
  return best;
}

}  // namespace pelmora
