// Validity of Python source: the tokenizer's errors plus token-level rules that every valid
// Python 3.13 program satisfies. Each rule here is a necessary condition of the grammar, so
// a text that breaks one is certainly invalid; the rules do not add up to the whole grammar.
#include "agent/bundle/validity.h"

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
    fail_rule = rule;
    fail_offset = _tokens[_pos < _tokens.size() ? _pos : _tokens.size() - 1].range.start;
    return false;
  }

  bool statement_start(std::size_t& i);
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
  std::vector<Last> _last{Last::kOther};
  // Per f-string nesting level: whether the current run of adjacent string literals is
  // bytes (-1: no run).
  std::vector<int> _string_run{-1};
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
    const bool soft = prev.kind == K::NAME &&
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
        if (!ends_operand(prev) && !is_kw(prev, Keyword::kNot) && prev.kind != K::COMMA) {
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
    case K::LBRACE:
      ++_depth;
      if ((t.flags & token_flags::kReplacementField) != 0) {
        const K next = _tokens[i + 1].kind;
        if (next == K::RBRACE || next == K::EXCLAMATION || next == K::COLON || next == K::EQUAL) {
          return fail(__LINE__);  // a replacement field needs its expression
        }
      }
      break;
    case K::RPAR:
      if (!ends_value(prev) && prev.kind != K::LPAR && prev.kind != K::COMMA &&
          prev.kind != K::SLASH) {
        return fail(__LINE__);
      }
      --_depth;
      break;
    case K::RSQB:
      if (!ends_value(prev) && prev.kind != K::LSQB && prev.kind != K::COMMA &&
          prev.kind != K::COLON) {
        return fail(__LINE__);
      }
      --_depth;
      break;
    case K::RBRACE:
      if (!ends_value(prev) && prev.kind != K::LBRACE && prev.kind != K::COMMA &&
          prev.kind != K::EQUAL && prev.kind != K::COLON && prev.kind != K::FSTRING_MIDDLE) {
        return fail(__LINE__);
      }
      --_depth;
      break;
    case K::COMMA:
      if (!ends_value(prev) && prev.kind != K::STAR && prev.kind != K::SLASH &&
          prev.kind != K::COLON) {
        return fail(__LINE__);
      }
      break;
    case K::SLASH:
      if (!ends_operand(prev) && prev.kind != K::COMMA) return fail(__LINE__);
      break;
    case K::AT:
      if (!ends_operand(prev) && !_at_start) return fail(__LINE__);
      break;
    case K::EXCLAMATION:
      if (_fstring_depth == 0 || (!ends_value(prev) && prev.kind != K::EQUAL)) {
        return fail(__LINE__);
      }
      break;
    case K::FSTRING_START:
      ++_fstring_depth;
      break;
    case K::FSTRING_END:
      --_fstring_depth;
      break;
    case K::SEMI:
      if (_depth == 0) {
        if (!ends_statement(prev)) return fail(__LINE__);
        _at_start = true;
        _prev = t;
        return true;
      }
      return fail(__LINE__);
    case K::COLON:
      if (_depth == 0) {
        _at_start = true;
        _prev = t;
        return true;
      }
      break;
    case K::NEWLINE:
      if (prev.kind != K::COLON && !ends_statement(prev)) return fail(__LINE__);
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
