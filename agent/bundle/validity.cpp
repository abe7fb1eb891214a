// Validity of Python source: the tokenizer's errors plus token-level rules that every valid
// Python 3.13 program satisfies. Each rule here is a necessary condition of the grammar, so
// a text that breaks one is certainly invalid; the rules do not add up to the whole grammar.
#include "agent/bundle/validity.h"

#include "agent/bundle/grammar.h"

#include <set>
#include <string>

#include "agent/bundle/imports.h"

namespace pelmora {

namespace {

using K = TokenKind;

bool is_kw(const Token& t, Keyword k) { return t.kind == K::NAME && t.keyword == k; }

// Tokens after which an expression may end: a name, a literal, a closing bracket.
bool ends_operand(const Token& t) {
  switch (t.kind) {
    case K::NAME:
      return !is_reserved_keyword(t.keyword) || t.keyword == Keyword::kNone ||
             t.keyword == Keyword::kTrue || t.keyword == Keyword::kFalse;
    case K::NUMBER:
    case K::STRING:
    case K::FSTRING_END:
    case K::RPAR:
    case K::RSQB:
    case K::RBRACE:
    case K::ELLIPSIS:
      return true;
    default:
      return false;
  }
}

// Like ends_operand, plus a bare yield: "(yield)", "x = yield".
bool ends_value(const Token& t) { return ends_operand(t) || is_kw(t, Keyword::kYield); }

// Tokens that begin an operand and so cannot directly follow one.
bool starts_operand(const Token& t) {
  switch (t.kind) {
    case K::NAME:
      switch (t.keyword) {
        case Keyword::kNotKeyword:
        case Keyword::kNone:
        case Keyword::kTrue:
        case Keyword::kFalse:
        case Keyword::kLambda:
        case Keyword::kAwait:
        case Keyword::kYield:
        case Keyword::kMatch:
        case Keyword::kCase:
        case Keyword::kType:
        case Keyword::kUnderscore:
          return true;
        default:
          return false;
      }
    case K::NUMBER:
    case K::STRING:
    case K::FSTRING_START:
    case K::ELLIPSIS:
      return true;
    default:
      return false;
  }
}

// Operators that only ever stand between two operands (their left operand must be there).
bool needs_left_operand(const Token& t) {
  switch (t.kind) {
    case K::PERCENT: case K::VBAR: case K::AMPER: case K::LESS: case K::GREATER:
    case K::EQUAL: case K::EQEQUAL: case K::NOTEQUAL: case K::LESSEQUAL:
    case K::GREATEREQUAL: case K::CIRCUMFLEX: case K::LEFTSHIFT: case K::RIGHTSHIFT:
    case K::DOUBLESLASH: case K::PLUSEQUAL: case K::MINEQUAL: case K::STAREQUAL:
    case K::SLASHEQUAL: case K::PERCENTEQUAL: case K::AMPEREQUAL: case K::VBAREQUAL:
    case K::CIRCUMFLEXEQUAL: case K::LEFTSHIFTEQUAL: case K::RIGHTSHIFTEQUAL:
    case K::DOUBLESTAREQUAL: case K::DOUBLESLASHEQUAL: case K::ATEQUAL: case K::RARROW:
    case K::COLONEQUAL: case K::DOT:
      return true;
    case K::NAME:
      switch (t.keyword) {
        case Keyword::kAnd: case Keyword::kOr: case Keyword::kIs: case Keyword::kAs:
        case Keyword::kIf: case Keyword::kElse:
          return true;
        default:
          return false;
      }
    default:
      return false;
  }
}

// Keywords that begin a statement and appear nowhere else.
bool statement_only(Keyword k) {
  switch (k) {
    case Keyword::kClass: case Keyword::kReturn: case Keyword::kPass: case Keyword::kBreak:
    case Keyword::kContinue: case Keyword::kGlobal: case Keyword::kNonlocal:
    case Keyword::kDel: case Keyword::kAssert: case Keyword::kRaise: case Keyword::kTry:
    case Keyword::kWhile: case Keyword::kElif: case Keyword::kExcept: case Keyword::kFinally:
    case Keyword::kImport:
      return true;
    default:
      return false;
  }
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The escapes of a non-raw literal body that the decoder rejects: \x without two hex
// digits; in text (not bytes) also \u and \U without four or eight hex digits, a \U above
// U+10FFFF, and \N without its braced name. Unknown escapes are only warnings.
bool escapes_ok(std::string_view body, bool bytes) {
  for (std::size_t p = 0; p < body.size(); ++p) {
    if (body[p] != '\\') continue;
    if (++p >= body.size()) return true;
    const char c = body[p];
    std::size_t digits = 0;
    if (c == 'x') {
      digits = 2;
    } else if (!bytes && c == 'u') {
      digits = 4;
    } else if (!bytes && c == 'U') {
      digits = 8;
    } else if (!bytes && c == 'N') {
      if (p + 1 >= body.size() || body[p + 1] != '{') return false;
      const std::size_t close = body.find('}', p + 2);
      if (close == std::string_view::npos || close == p + 2) return false;
      p = close;
      continue;
    } else {
      continue;
    }
    unsigned long value = 0;
    for (std::size_t k = 1; k <= digits; ++k) {
      if (p + k >= body.size() || !is_hex(body[p + k])) return false;
      const char h = body[p + k];
      value = value * 16 + static_cast<unsigned long>(
                               h <= '9' ? h - '0' : (h | 0x20) - 'a' + 10);
    }
    if (c == 'U' && value > 0x10FFFF) return false;
    p += digits;
  }
  return true;
}

// The body of a STRING token: without prefix and quotes.
std::string_view string_body(std::string_view text, const Token& t) {
  std::size_t q = 0;
  while (q < text.size() && text[q] != '\'' && text[q] != '"') ++q;
  const std::size_t quotes = (t.flags & token_flags::kTriple) != 0 ? 3 : 1;
  if (text.size() < q + 2 * quotes) return {};
  return text.substr(q + quotes, text.size() - q - 2 * quotes);
}

// What the last statement of one block level was, for the clauses that continue it.
enum class Last { kOther, kIf, kLoop, kTry, kTryExcept, kTryElse };

// Tokens that may end a simple statement (before NEWLINE or ';').
bool ends_statement(const Token& t) {
  if (ends_operand(t) || t.kind == K::COMMA) return true;
  if (t.kind != K::NAME) return false;
  switch (t.keyword) {
    case Keyword::kPass: case Keyword::kBreak: case Keyword::kContinue:
    case Keyword::kReturn: case Keyword::kYield: case Keyword::kRaise:
      return true;
    default:
      return false;
  }
}

class Checker {
 public:
  Checker(std::string_view code, const std::vector<Token>& tokens)
      : _code(code), _tokens(tokens) {}

  bool run();

  // Set when run() returned false: the source line of the rule and the token's offset.
  int fail_rule = 0;
  std::uint32_t fail_offset = 0;

 private:
  bool fail(int rule) {
    if (fail_rule != 0) return false;  // keep the innermost rule
    fail_rule = rule;
    fail_offset = _tokens[_pos < _tokens.size() ? _pos : _tokens.size() - 1].range.start;
    return false;
  }

  bool statement_start(std::size_t& i);
  std::size_t skip_group(std::size_t b, std::size_t e) const;
  bool single_target(std::size_t b, std::size_t e, bool allow_star) const;
  bool target_list(std::size_t b, std::size_t e, bool allow_tuple) const;
  bool clause(const Token& t);
  bool token(std::size_t i);

  std::string_view _code;
  const std::vector<Token>& _tokens;
  std::size_t _pos = 0;
  int _depth = 0;
  int _fstring_depth = 0;
  bool _at_start = true;
  bool _line_start = true;      // at the first token of a logical line
  bool _after_header = false;   // the previous logical line ended with ':'
  bool _decorator_line = false; // the current logical line began with '@'
  bool _after_decorator = false;
  Keyword _statement = Keyword::kNotKeyword;  // first token of the current statement
  // The current statement: where it began and what kind it is.
  enum class Stmt { kSimple, kCompound, kLoose };  // kLoose: match/case/type/decorator
  Stmt _stmt = Stmt::kSimple;
  std::size_t _segment = 0;    // first token of the current assignment segment
  std::size_t _stmt_first = 0; // first token of the current statement
  bool _need_colon = false;    // a compound header whose ':' has not come yet
  bool _annotated = false;     // a simple statement that had its annotation ':'
  bool _no_targets = false;    // a depth-0 lambda: '=' may be a parameter default
  bool _saw_for = false;
  int _lambdas = 0;            // depth-0 lambdas still waiting for their ':'
  bool _def = false;           // a def or async def statement
  bool _def_params_done = false;
  bool _for_in = false;        // a depth-0 'in' in the current statement
  // One open bracket.
  struct Bracket {
    K kind = K::LPAR;
    bool call = false;    // '(' after an operand: a call's (or class's) arguments
    bool field = false;   // '{' of an f-string replacement field
    bool params = false;  // the parameter or type-parameter list of a def, class or type
    bool lambda_seen = false;
    int lambdas = 0;      // lambdas at this level still waiting for their ':'
    int keywords = 0;     // call arguments so far: 1 after a keyword, 2 after '**'
  };
  std::vector<Bracket> _brackets;
  std::vector<Last> _last{Last::kOther};
  // Per f-string nesting level: whether the current run of adjacent string literals is
  // bytes (-1: no run).
  std::vector<int> _string_run{-1};
  std::vector<bool> _fstring_raw;
  std::set<std::string> _unused;
  Token _prev{K::NEWLINE, Keyword::kNotKeyword, 0, {}};
};

bool Checker::clause(const Token& t) {
  Last& last = _last.back();
  const Keyword k = t.kind == K::NAME ? t.keyword : Keyword::kNotKeyword;
  if (last == Last::kTry && k != Keyword::kExcept && k != Keyword::kFinally) return fail(__LINE__);
  switch (k) {
    case Keyword::kElif:
      if (last != Last::kIf) return fail(__LINE__);
      return true;
    case Keyword::kElse:
      if (last == Last::kIf || last == Last::kLoop) {
        last = Last::kOther;
      } else if (last == Last::kTryExcept) {
        last = Last::kTryElse;
      } else {
        return fail(__LINE__);
      }
      return true;
    case Keyword::kExcept:
      if (last != Last::kTry && last != Last::kTryExcept) return fail(__LINE__);
      last = Last::kTryExcept;
      return true;
    case Keyword::kFinally:
      if (last != Last::kTry && last != Last::kTryExcept && last != Last::kTryElse) return fail(__LINE__);
      last = Last::kOther;
      return true;
    case Keyword::kIf:
      last = Last::kIf;
      return true;
    case Keyword::kFor:
    case Keyword::kWhile:
      last = Last::kLoop;
      return true;
    case Keyword::kAsync:
      last = is_kw(*(&t + 1), Keyword::kFor) ? Last::kLoop : Last::kOther;
      return true;
    case Keyword::kTry:
      last = Last::kTry;
      return true;
    default:
      last = Last::kOther;
      return true;
  }
}

// The token at `i` begins a statement. Import statements are read whole (`i` moves to the
// token that ends them).
bool Checker::statement_start(std::size_t& i) {
  const Token& t = _tokens[i];
  if (_line_start) {
    if (_after_decorator && !(t.kind == K::AT || is_kw(t, Keyword::kDef) ||
                              is_kw(t, Keyword::kClass) || is_kw(t, Keyword::kAsync))) {
      return fail(__LINE__);
    }
    _decorator_line = t.kind == K::AT;
    if (!clause(t)) return fail(__LINE__);
  } else {
    // After ';' or a header's ':' on the same line, no clause keyword may follow.
    if (is_kw(t, Keyword::kElse) || is_kw(t, Keyword::kElif) || is_kw(t, Keyword::kExcept) ||
        is_kw(t, Keyword::kFinally) || t.kind == K::AT) {
      return fail(__LINE__);
    }
  }
  _statement = t.kind == K::NAME ? t.keyword : Keyword::kNotKeyword;
  _segment = i;
  _stmt_first = i;
  _annotated = false;
  _no_targets = false;
  _saw_for = false;
  _lambdas = 0;
  _need_colon = false;
  _def_params_done = false;
  _for_in = false;
  _def = is_kw(t, Keyword::kDef) || (is_kw(t, Keyword::kAsync) && is_kw(_tokens[i + 1], Keyword::kDef));
  _stmt = Stmt::kSimple;
  switch (_statement) {
    case Keyword::kIf: case Keyword::kElif: case Keyword::kElse: case Keyword::kWhile:
    case Keyword::kFor: case Keyword::kWith: case Keyword::kDef: case Keyword::kClass:
    case Keyword::kTry: case Keyword::kExcept: case Keyword::kFinally: case Keyword::kAsync:
      _stmt = Stmt::kCompound;
      _need_colon = true;
      break;
    case Keyword::kMatch: case Keyword::kCase: {
      const K next = _tokens[i + 1].kind;
      if (next != K::EQUAL && next != K::COLON && next != K::COMMA && next != K::DOT) {
        _stmt = Stmt::kLoose;
      }
      break;
    }
    case Keyword::kType:
      if (_tokens[i + 1].kind == K::NAME) _stmt = Stmt::kLoose;
      break;
    default:
      if (t.kind == K::AT) _stmt = Stmt::kLoose;
      break;
  }
  if ((is_kw(t, Keyword::kElse) || is_kw(t, Keyword::kTry) || is_kw(t, Keyword::kFinally)) &&
      _tokens[i + 1].kind != K::COLON) {
    return fail(__LINE__);
  }
  if (is_kw(t, Keyword::kIn)) return fail(__LINE__);
  if (is_kw(t, Keyword::kType) && _tokens[i + 1].kind == K::NAME) {
    // type_alias: "type" NAME [type_params] '=' expression
    if (is_reserved_keyword(_tokens[i + 1].keyword)) return fail(__LINE__);
    std::size_t j = i + 2;
    if (_tokens[j].kind == K::LSQB) j = skip_group(j, _tokens.size());
    if (j >= _tokens.size() || _tokens[j].kind != K::EQUAL) return fail(__LINE__);
  }
  if (is_kw(t, Keyword::kImport) || is_kw(t, Keyword::kFrom)) {
    std::size_t end = i;
    if (!read_import_statement(_code, _tokens, i, end, _unused)) return fail(__LINE__);
    i = end - 1;  // the last token of the statement; the NEWLINE or ';' comes next
    _prev = _tokens[i];
    _prev.kind = K::NAME;  // any token that may end a statement
    _prev.keyword = Keyword::kNotKeyword;
    _at_start = false;
    _line_start = false;
    return true;
  }
  return token(i);
}

// The index after the bracket group that opens at `b`, or `e` + 1 when it does not close
// before `e`.
std::size_t Checker::skip_group(std::size_t b, std::size_t e) const {
  int depth = 0;
  for (std::size_t j = b; j < e; ++j) {
    const K k = _tokens[j].kind;
    if (k == K::LPAR || k == K::LSQB || k == K::LBRACE) ++depth;
    if (k == K::RPAR || k == K::RSQB || k == K::RBRACE) {
      if (--depth == 0) return j + 1;
    }
  }
  return e + 1;
}

// [b, e) is one assignment target: ['*'] (NAME | '(' ... ')' | '[' ... ']') trailers, where
// a target with trailers does not end in a call.
bool Checker::single_target(std::size_t b, std::size_t e, bool allow_star) const {
  if (b < e && allow_star && _tokens[b].kind == K::STAR) ++b;
  if (b >= e) return false;
  const Token& first = _tokens[b];
  std::size_t p;
  bool bare = false;  // an atom that is a target only with trailers: "a".__class__ = ...
  if (first.kind == K::NAME && !is_reserved_keyword(first.keyword)) {
    p = b + 1;
  } else if (first.kind == K::LPAR || first.kind == K::LSQB) {
    p = skip_group(b, e);
  } else if (first.kind == K::LBRACE) {
    p = skip_group(b, e);
    bare = true;
  } else if (first.kind == K::NUMBER || first.kind == K::ELLIPSIS ||
             is_kw(first, Keyword::kNone) || is_kw(first, Keyword::kTrue) ||
             is_kw(first, Keyword::kFalse)) {
    p = b + 1;
    bare = true;
  } else if (first.kind == K::STRING || first.kind == K::FSTRING_START) {
    p = b;
    int nesting = 0;
    while (p < e) {
      const K k = _tokens[p].kind;
      if (k == K::FSTRING_START) ++nesting;
      if (k == K::FSTRING_END) --nesting;
      if (nesting == 0 && k != K::STRING && k != K::FSTRING_END) break;
      ++p;
    }
    bare = true;
  } else {
    return false;
  }
  if (bare && p >= e) return false;
  bool call = false;
  while (p < e) {
    const K k = _tokens[p].kind;
    if (k == K::DOT && p + 1 < e && _tokens[p + 1].kind == K::NAME) {
      p += 2;
      call = false;
    } else if (k == K::LSQB || k == K::LPAR) {
      p = skip_group(p, e);
      call = k == K::LPAR;
    } else {
      return false;
    }
  }
  return p == e && !call;
}

// [b, e) is a comma-separated list of targets (a trailing comma allowed), or with
// `allow_tuple` false exactly one target without '*'.
bool Checker::target_list(std::size_t b, std::size_t e, bool allow_tuple) const {
  if (!allow_tuple) return single_target(b, e, false);
  std::size_t item = b;
  std::size_t p = b;
  while (p < e) {
    const K k = _tokens[p].kind;
    if (k == K::LPAR || k == K::LSQB || k == K::LBRACE) {
      p = skip_group(p, e);
      continue;
    }
    if (k == K::COMMA) {
      if (!single_target(item, p, true)) return false;
      item = p + 1;
    }
    ++p;
  }
  if (p != e) return false;
  return item == e ? item > b : single_target(item, e, true);
}

bool Checker::run() {
  for (std::size_t i = 0; i < _tokens.size(); ++i) {
    _pos = i;
    const Token& t = _tokens[i];
    switch (t.kind) {
      case K::ERRORTOKEN:
        return fail(__LINE__);
      case K::ENDMARKER:
        return !_after_header && !_after_decorator && _last.back() != Last::kTry;
      case K::INDENT:
        if (!_after_header) return fail(__LINE__);
        _after_header = false;
        _last.push_back(Last::kOther);
        _prev = t;
        continue;
      case K::DEDENT:
        if (_last.back() == Last::kTry) return fail(__LINE__);
        _last.pop_back();
        if (_last.empty()) return fail(__LINE__);
        _prev = t;
        continue;
      default:
        break;
    }
    if (_after_header) return fail(__LINE__);  // a block header must be followed by its block
    if (_at_start) {
      if (t.kind == K::NEWLINE) {
        // Only right after a header's ':' may a line end at a statement start; after ';'
        // the statement before it ended the line.
        if (_prev.kind == K::COLON) {
          _after_header = true;
        } else if (_prev.kind != K::SEMI) {
          return fail(__LINE__);
        }
        _after_decorator = false;
        _line_start = true;
        _prev = t;
        continue;
      }
      if (!statement_start(i)) return fail(__LINE__);
      _at_start = false;
      _line_start = false;
      continue;
    }
    if (!token(i)) return fail(__LINE__);
  }
  return fail(__LINE__);  // no ENDMARKER: not a whole stream
}

// Rules for one token that is not at a statement start (or is, after the start checks).
bool Checker::token(std::size_t i) {
  const Token& t = _tokens[i];
  const Token prev = _prev;
  _prev = t;

  if (ends_operand(prev) && starts_operand(t)) {
    const bool soft = prev.kind == K::NAME && i == _stmt_first + 1 &&
                      (prev.keyword == Keyword::kMatch || prev.keyword == Keyword::kCase ||
                       prev.keyword == Keyword::kType);
    const bool strings = (prev.kind == K::STRING || prev.kind == K::FSTRING_END) &&
                         (t.kind == K::STRING || t.kind == K::FSTRING_START);
    if (!soft && !strings) return fail(__LINE__);
  }
  // "x, = y" unpacks one element.
  if (needs_left_operand(t) && !ends_value(prev) && !(t.kind == K::EQUAL && prev.kind == K::COMMA) &&
      !(_at_start && (is_kw(t, Keyword::kIf) || is_kw(t, Keyword::kElse)))) {
    return fail(__LINE__);
  }
  if (t.kind == K::NAME && !_at_start) {
    if (statement_only(t.keyword)) return fail(__LINE__);
    switch (t.keyword) {
      case Keyword::kDef:
      case Keyword::kWith:
        if (!is_kw(prev, Keyword::kAsync)) return fail(__LINE__);
        break;
      case Keyword::kFor:
        if (!ends_operand(prev) && !is_kw(prev, Keyword::kAsync)) return fail(__LINE__);
        break;
      case Keyword::kIn:
        // "for x, in y" has a one-element tuple as its target.
        if (!ends_operand(prev) && !is_kw(prev, Keyword::kNot) &&
            !(prev.kind == K::COMMA && _saw_for)) {
          return fail(__LINE__);
        }
        break;
      case Keyword::kAs:
        if (_stmt == Stmt::kSimple ||
            (_stmt == Stmt::kCompound && _statement != Keyword::kWith &&
             _statement != Keyword::kAsync && _statement != Keyword::kExcept)) {
          return fail(__LINE__);
        }
        break;
      case Keyword::kFrom:
        if (!is_kw(prev, Keyword::kYield) &&
            !(_statement == Keyword::kRaise && ends_operand(prev))) {
          return fail(__LINE__);
        }
        break;
      default:
        break;
    }
  }

  if (is_kw(t, Keyword::kFor)) _saw_for = true;
  if (is_kw(t, Keyword::kIn) && _depth == 0) _for_in = true;
  if (is_kw(t, Keyword::kLambda)) {
    if (_depth == 0) {
      ++_lambdas;
      _no_targets = true;
    } else if (!_brackets.empty()) {
      ++_brackets.back().lambdas;
      _brackets.back().lambda_seen = true;
    }
  }

  // Call arguments: no positional argument after a keyword argument or '**', no '*' after
  // '**'.
  if (!_brackets.empty() && _brackets.back().call && !_brackets.back().lambda_seen &&
      (prev.kind == K::LPAR || prev.kind == K::COMMA) && t.kind != K::RPAR) {
    Bracket& b = _brackets.back();
    if (t.kind == K::DOUBLESTAR) {
      b.keywords = 2;
    } else if (t.kind == K::STAR) {
      if (b.keywords == 2) return fail(__LINE__);
    } else if (t.kind == K::NAME && _tokens[i + 1].kind == K::EQUAL) {
      if (b.keywords == 0) b.keywords = 1;
    } else if (b.keywords != 0) {
      return fail(__LINE__);
    }
  }

  // Keywords with a fixed continuation.
  if (t.kind == K::NAME) {
    const Token& next = _tokens[i + 1];
    switch (t.keyword) {
      case Keyword::kAsync:
        if (!is_kw(next, Keyword::kDef) && !is_kw(next, Keyword::kWith) &&
            !is_kw(next, Keyword::kFor)) {
          return fail(__LINE__);
        }
        break;
      case Keyword::kDef:
        if (next.kind != K::NAME || is_reserved_keyword(next.keyword)) return fail(__LINE__);
        if (_tokens[i + 2].kind != K::LPAR && _tokens[i + 2].kind != K::LSQB) return fail(__LINE__);
        break;
      case Keyword::kClass:
        if (next.kind != K::NAME || is_reserved_keyword(next.keyword)) return fail(__LINE__);
        if (_tokens[i + 2].kind != K::LPAR && _tokens[i + 2].kind != K::LSQB &&
            _tokens[i + 2].kind != K::COLON) {
          return fail(__LINE__);
        }
        break;
      case Keyword::kPass:
      case Keyword::kBreak:
      case Keyword::kContinue:
        if (next.kind != K::NEWLINE && next.kind != K::SEMI) return fail(__LINE__);
        break;
      case Keyword::kIf:
      case Keyword::kElif:
      case Keyword::kWhile:
      case Keyword::kFor:
      case Keyword::kWith:
      case Keyword::kIn:
        if (next.kind == K::COLON || next.kind == K::NEWLINE || next.kind == K::SEMI) {
          return fail(__LINE__);  // a condition or subject is missing
        }
        break;
      case Keyword::kAs:
        if (next.kind == K::COLON || next.kind == K::COMMA || next.kind == K::RPAR ||
            next.kind == K::NEWLINE || next.kind == K::SEMI) {
          return fail(__LINE__);
        }
        break;
      case Keyword::kGlobal:
      case Keyword::kNonlocal: {
        std::size_t j = i + 1;
        for (;;) {
          if (_tokens[j].kind != K::NAME || is_reserved_keyword(_tokens[j].keyword)) return fail(__LINE__);
          if (_tokens[j + 1].kind != K::COMMA) break;
          j += 2;
        }
        if (_tokens[j + 1].kind != K::NEWLINE && _tokens[j + 1].kind != K::SEMI) return fail(__LINE__);
        break;
      }
      default:
        break;
    }
  }

  switch (t.kind) {
    case K::LPAR:
    case K::LSQB:
    case K::LBRACE: {
      const bool field = (t.flags & token_flags::kReplacementField) != 0;
      if (field) {
        const K next = _tokens[i + 1].kind;
        if (next == K::RBRACE || next == K::EXCLAMATION || next == K::COLON || next == K::EQUAL) {
          return fail(__LINE__);  // a replacement field needs its expression
        }
      }
      const bool soft_start = i == _stmt_first + 1 && (is_kw(prev, Keyword::kMatch) ||
                                                       is_kw(prev, Keyword::kCase));
      if (t.kind == K::LBRACE && !field && ends_operand(prev) && !soft_start &&
          !(prev.kind == K::RBRACE && (prev.flags & token_flags::kReplacementField) != 0)) {
        return fail(__LINE__);  // "x {...}" is never an expression
      }
      if (t.kind == K::LSQB && ends_operand(prev) && !soft_start &&
          _tokens[i + 1].kind == K::RSQB) {
        return fail(__LINE__);  // an empty subscript
      }
      Bracket b;
      b.kind = t.kind;
      b.field = field;
      // The parameter list of a def, the type parameters of a def, class or type alias.
      b.params = _depth == 0 &&
                 ((_def && !_def_params_done && t.kind != K::LBRACE) ||
                  (t.kind == K::LSQB && prev.kind == K::NAME && i >= 2 &&
                   (is_kw(_tokens[i - 2], Keyword::kClass) || is_kw(_tokens[i - 2], Keyword::kType))));
      b.call = t.kind == K::LPAR && ends_value(prev) && !b.params;
      _brackets.push_back(b);
      ++_depth;
      break;
    }
    case K::RPAR:
      if (!ends_value(prev) && prev.kind != K::LPAR && prev.kind != K::COMMA &&
          prev.kind != K::SLASH) {
        return fail(__LINE__);
      }
      if (!_brackets.empty() && _brackets.back().lambdas > 0) return fail(__LINE__);
      --_depth;
      if (!_brackets.empty()) {
        const bool def_params = _brackets.back().params && _depth == 0 && _def;
        if (def_params) _def_params_done = true;
        _brackets.pop_back();
        const K next = _tokens[i + 1].kind;
        if (def_params && next != K::RARROW && next != K::COLON) return fail(__LINE__);
      }
      break;
    case K::RSQB:
      if (!ends_value(prev) && prev.kind != K::LSQB && prev.kind != K::COMMA &&
          prev.kind != K::COLON) {
        return fail(__LINE__);
      }
      --_depth;
      if (!_brackets.empty()) _brackets.pop_back();
      break;
    case K::RBRACE:
      if (!ends_value(prev) && prev.kind != K::LBRACE && prev.kind != K::COMMA &&
          prev.kind != K::EQUAL && prev.kind != K::FSTRING_MIDDLE &&
          !(prev.kind == K::COLON && (prev.flags & token_flags::kReplacementField) != 0)) {
        return fail(__LINE__);
      }
      --_depth;
      if (!_brackets.empty()) _brackets.pop_back();
      break;
    case K::COMMA:
      if (!ends_value(prev) && prev.kind != K::STAR && prev.kind != K::SLASH &&
          !(prev.kind == K::COLON && !_brackets.empty() && _brackets.back().kind == K::LSQB)) {
        return fail(__LINE__);
      }
      if (_depth == 0 && _statement == Keyword::kRaise) return fail(__LINE__);
      if (_depth == 0 && _annotated && _segment == _stmt_first) {
        return fail(__LINE__);  // "x: int, y": only the value after '=' may be a tuple
      }
      break;
    case K::DOUBLESTAR:
      if (!ends_value(prev) && prev.kind != K::LPAR && prev.kind != K::COMMA &&
          prev.kind != K::LBRACE && prev.kind != K::LSQB && !is_kw(prev, Keyword::kLambda)) {
        return fail(__LINE__);
      }
      break;
    case K::COLONEQUAL:
      if (prev.kind != K::NAME || is_reserved_keyword(prev.keyword)) return fail(__LINE__);
      if (_depth == 0 && _stmt == Stmt::kSimple) return fail(__LINE__);
      break;
    case K::SLASH:
      if (!ends_operand(prev) && prev.kind != K::COMMA) return fail(__LINE__);
      break;
    case K::AT:
      if (!ends_operand(prev) && !_at_start) return fail(__LINE__);
      break;
    case K::EXCLAMATION:
      // f"{x=!r}", and f"{a,!r}" (a tuple with a trailing comma).
      if (_fstring_depth == 0 ||
          (!ends_value(prev) && prev.kind != K::EQUAL && prev.kind != K::COMMA)) {
        return fail(__LINE__);
      }
      {
        // A conversion: '!' then s, r or a right after it, then ':' or '}'.
        const Token& name = _tokens[i + 1];
        const std::string_view conv = name.text(_code);
        const K after = _tokens[i + 2].kind;
        if (name.kind != K::NAME || name.range.start != t.range.end ||
            !(conv == "s" || conv == "r" || conv == "a") ||
            (after != K::COLON && after != K::RBRACE)) {
          return fail(__LINE__);
        }
      }
      break;
    case K::FSTRING_START:
      ++_fstring_depth;
      _fstring_raw.push_back((t.flags & token_flags::kRaw) != 0);
      break;
    case K::FSTRING_END:
      --_fstring_depth;
      if (!_fstring_raw.empty()) _fstring_raw.pop_back();
      break;
    case K::STRING:
      if ((t.flags & token_flags::kBytes) != 0) {
        for (const char ch : t.text(_code)) {
          if (static_cast<unsigned char>(ch) >= 0x80) return fail(__LINE__);  // ASCII only
        }
      }
      if ((t.flags & token_flags::kRaw) == 0 &&
          !escapes_ok(string_body(t.text(_code), t), (t.flags & token_flags::kBytes) != 0)) {
        return fail(__LINE__);
      }
      break;
    case K::FSTRING_MIDDLE:
      if (!_fstring_raw.empty() && !_fstring_raw.back() && !escapes_ok(t.text(_code), false)) {
        return fail(__LINE__);
      }
      break;
    case K::SEMI:
      if (_depth == 0) {
        if (!ends_statement(prev) || _need_colon || _lambdas > 0) return fail(__LINE__);
        _at_start = true;
        _prev = t;
        return true;
      }
      return fail(__LINE__);
    case K::COLON:
      if (_depth > 0 && !_brackets.empty()) {
        // Inside brackets a ':' ends a lambda's parameters, or belongs to a slice, a dict
        // item or a replacement field; never to a parenthesised expression or a call.
        Bracket& b = _brackets.back();
        if (b.field && (t.flags & token_flags::kReplacementField) != 0 && b.lambdas > 0) {
          return fail(__LINE__);  // f"{lambda x: 1}": the ':' starts the format spec
        }
        if (b.lambdas > 0) {
          --b.lambdas;
        } else if (b.kind == K::LPAR && !b.params) {
          return fail(__LINE__);
        } else if (b.params && (prev.kind != K::NAME || is_reserved_keyword(prev.keyword))) {
          return fail(__LINE__);  // an annotation follows a parameter's name
        }
      }
      if (_depth == 0) {
        if (_lambdas > 0) {
          --_lambdas;  // the end of a lambda's parameters
          break;
        }
        if (_stmt == Stmt::kSimple) {
          // An annotation: one, after a single target.
          if (_annotated || _segment != _stmt_first || !single_target(_segment, i, false)) {
            return fail(__LINE__);
          }
          _annotated = true;
          break;
        }
        if (_statement == Keyword::kFor && !_for_in) return fail(__LINE__);
        if (_statement == Keyword::kAsync && is_kw(_tokens[_stmt_first + 1], Keyword::kFor) &&
            !_for_in) {
          return fail(__LINE__);
        }
        _need_colon = false;
        _at_start = true;
        _prev = t;
        return true;
      }
      break;
    case K::EQUAL:
      if (_depth == 0 && _annotated) _segment = i + 1;
      if (_depth == 0 && _stmt == Stmt::kSimple && !_annotated && !_no_targets) {
        if (!target_list(_segment, i, true)) return fail(__LINE__);
        _segment = i + 1;
      }
      if (_depth == 0 && _stmt == Stmt::kCompound && _lambdas == 0) return fail(__LINE__);
      if (_depth > 0 && !_brackets.empty()) {
        const Bracket& b = _brackets.back();
        if (b.field || b.params || b.lambda_seen) break;  // f"{x=}", defaults
        if (!b.call) return fail(__LINE__);
        // A keyword argument: NAME '=' at the start of an argument.
        const K before = i >= 2 ? _tokens[i - 2].kind : K::NEWLINE;
        if (prev.kind != K::NAME || is_reserved_keyword(prev.keyword) ||
            (before != K::LPAR && before != K::COMMA)) {
          return fail(__LINE__);
        }
      }
      break;
    case K::PLUSEQUAL: case K::MINEQUAL: case K::STAREQUAL: case K::SLASHEQUAL:
    case K::PERCENTEQUAL: case K::AMPEREQUAL: case K::VBAREQUAL: case K::CIRCUMFLEXEQUAL:
    case K::LEFTSHIFTEQUAL: case K::RIGHTSHIFTEQUAL: case K::DOUBLESTAREQUAL:
    case K::DOUBLESLASHEQUAL: case K::ATEQUAL:
      if (_depth == 0 && _stmt == Stmt::kSimple && !_annotated && !_no_targets) {
        if (_segment != _stmt_first || !target_list(_segment, i, false)) return fail(__LINE__);
        _segment = i + 1;
      }
      break;
    case K::DOT: {
      const Token& next = _tokens[i + 1];
      if (next.kind != K::NAME || is_reserved_keyword(next.keyword)) return fail(__LINE__);
      break;
    }
    case K::RARROW:
      if (_depth != 0 || !(_statement == Keyword::kDef || _statement == Keyword::kAsync)) {
        return fail(__LINE__);
      }
      break;
    case K::NEWLINE:
      if (prev.kind != K::COLON && !ends_statement(prev)) return fail(__LINE__);
      if (prev.kind == K::COLON && _stmt == Stmt::kSimple) return fail(__LINE__);
      if (_need_colon || _lambdas > 0) return fail(__LINE__);
      _after_header = prev.kind == K::COLON;
      _after_decorator = _decorator_line;
      _decorator_line = false;
      _at_start = true;
      _line_start = true;
      return true;
    default:
      break;
  }

  // Adjacent string literals: all bytes or none.
  if (t.kind == K::STRING || t.kind == K::FSTRING_START) {
    const int bytes = (t.flags & token_flags::kBytes) != 0 ? 1 : 0;
    int& run = _string_run.back();
    if (prev.kind == K::STRING || prev.kind == K::FSTRING_END) {
      if (run != bytes) return fail(__LINE__);
    }
    run = bytes;
    if (t.kind == K::FSTRING_START) _string_run.push_back(-1);
  } else if (t.kind == K::FSTRING_END) {
    if (_string_run.size() > 1) _string_run.pop_back();
  }
  return true;
}

}  // namespace

bool is_valid_python(std::string_view code, const TokenStream& stream) {
  return check_python_syntax(code, stream).valid;
}

bool passes_token_checks(std::string_view code, const TokenStream& stream) {
  return !why_invalid(code, stream);
}

std::optional<InvalidReason> why_invalid(std::string_view code, const TokenStream& stream) {
  if (stream.error) return InvalidReason{stream.error->message, stream.error->offset};
  if (code.find('\0') != std::string_view::npos) {
    return InvalidReason{"source code cannot contain null bytes",
                         static_cast<std::uint32_t>(code.find('\0'))};
  }
  Checker checker(code, stream.tokens);
  if (checker.run()) return std::nullopt;
  return InvalidReason{"invalid syntax (token rule " + std::to_string(checker.fail_rule) + ")",
                       checker.fail_offset};
}

bool is_valid_python(std::string_view code) { return is_valid_python(code, tokenize(code)); }

}  // namespace pelmora
