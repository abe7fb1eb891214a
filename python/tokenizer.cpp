// Python 3.13 tokenizer. The structure follows CPython's lexer: a stack of modes (regular
// code, f-string literal text), an indentation stack checked with tab size 8 against tab
// size 1, and one bracket stack shared by all modes.
#include "python/tokenizer.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdio>
#include <limits>

#include "agent/platform/utf8.h"
#include "python/unicode_ident.h"

namespace pelmora {

namespace {

constexpr int kEof = -1;
constexpr int kTabSize = 8;
constexpr int kAltTabSize = 1;
constexpr int kMaxIndent = 100;    // CPython's MAXINDENT
constexpr int kMaxLevel = 200;     // CPython's MAXLEVEL (nested brackets)
constexpr int kMaxFStringLevel = 150;  // MAXFSTRINGLEVEL
constexpr int kMaxExprNesting = 3;     // MAX_EXPR_NESTING (nested format-spec fields)

bool is_digit(int c) { return c >= '0' && c <= '9'; }
bool is_xdigit(int c) {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_potential_identifier_start(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 128;
}
bool is_potential_identifier_char(int c) { return is_potential_identifier_start(c) || is_digit(c); }

struct KeywordEntry {
  std::string_view text;
  Keyword keyword;
};
constexpr std::array<KeywordEntry, 39> kKeywords = {{
    {"False", Keyword::kFalse},       {"None", Keyword::kNone},
    {"True", Keyword::kTrue},         {"and", Keyword::kAnd},
    {"as", Keyword::kAs},             {"assert", Keyword::kAssert},
    {"async", Keyword::kAsync},       {"await", Keyword::kAwait},
    {"break", Keyword::kBreak},       {"class", Keyword::kClass},
    {"continue", Keyword::kContinue}, {"def", Keyword::kDef},
    {"del", Keyword::kDel},           {"elif", Keyword::kElif},
    {"else", Keyword::kElse},         {"except", Keyword::kExcept},
    {"finally", Keyword::kFinally},   {"for", Keyword::kFor},
    {"from", Keyword::kFrom},         {"global", Keyword::kGlobal},
    {"if", Keyword::kIf},             {"import", Keyword::kImport},
    {"in", Keyword::kIn},             {"is", Keyword::kIs},
    {"lambda", Keyword::kLambda},     {"nonlocal", Keyword::kNonlocal},
    {"not", Keyword::kNot},           {"or", Keyword::kOr},
    {"pass", Keyword::kPass},         {"raise", Keyword::kRaise},
    {"return", Keyword::kReturn},     {"try", Keyword::kTry},
    {"while", Keyword::kWhile},       {"with", Keyword::kWith},
    {"yield", Keyword::kYield},       {"match", Keyword::kMatch},
    {"case", Keyword::kCase},         {"type", Keyword::kType},
    {"_", Keyword::kUnderscore},
}};

// kKeywords sorted, and for each ASCII letter the range of those that start with it: most
// names are no keyword, and a name is compared only with the few that share its first letter.
constexpr auto kSortedKeywords = [] {
  auto sorted = kKeywords;
  std::sort(sorted.begin(), sorted.end(),
            [](const KeywordEntry& a, const KeywordEntry& b) { return a.text < b.text; });
  return sorted;
}();
struct KeywordRange {
  std::uint8_t begin = 0;
  std::uint8_t end = 0;
};
constexpr auto kKeywordsByLetter = [] {
  std::array<KeywordRange, 128> ranges{};
  for (std::uint8_t i = 0; i < kSortedKeywords.size(); ++i) {
    KeywordRange& r = ranges[static_cast<unsigned char>(kSortedKeywords[i].text[0])];
    if (r.begin == r.end) r.begin = i;
    r.end = static_cast<std::uint8_t>(i + 1);
  }
  return ranges;
}();

Keyword keyword_of(std::string_view text) {
  if (text.empty() || text.size() > 8) return Keyword::kNotKeyword;
  const auto first = static_cast<unsigned char>(text[0]);
  if (first >= kKeywordsByLetter.size()) return Keyword::kNotKeyword;
  const KeywordRange r = kKeywordsByLetter[first];
  for (std::uint8_t i = r.begin; i < r.end; ++i) {
    if (kSortedKeywords[i].text == text) return kSortedKeywords[i].keyword;
  }
  return Keyword::kNotKeyword;
}

TokenKind one_char(int c) {
  switch (c) {
    case '%': return TokenKind::PERCENT;
    case '&': return TokenKind::AMPER;
    case '(': return TokenKind::LPAR;
    case ')': return TokenKind::RPAR;
    case '*': return TokenKind::STAR;
    case '+': return TokenKind::PLUS;
    case ',': return TokenKind::COMMA;
    case '-': return TokenKind::MINUS;
    case '.': return TokenKind::DOT;
    case '/': return TokenKind::SLASH;
    case ':': return TokenKind::COLON;
    case ';': return TokenKind::SEMI;
    case '<': return TokenKind::LESS;
    case '=': return TokenKind::EQUAL;
    case '>': return TokenKind::GREATER;
    case '@': return TokenKind::AT;
    case '[': return TokenKind::LSQB;
    case ']': return TokenKind::RSQB;
    case '^': return TokenKind::CIRCUMFLEX;
    case '{': return TokenKind::LBRACE;
    case '|': return TokenKind::VBAR;
    case '}': return TokenKind::RBRACE;
    case '~': return TokenKind::TILDE;
    case '!': return TokenKind::EXCLAMATION;
    default: return TokenKind::ERRORTOKEN;
  }
}

TokenKind two_chars(int c1, int c2) {
  switch (c1) {
    case '!': if (c2 == '=') return TokenKind::NOTEQUAL; break;
    case '%': if (c2 == '=') return TokenKind::PERCENTEQUAL; break;
    case '&': if (c2 == '=') return TokenKind::AMPEREQUAL; break;
    case '*':
      if (c2 == '*') return TokenKind::DOUBLESTAR;
      if (c2 == '=') return TokenKind::STAREQUAL;
      break;
    case '+': if (c2 == '=') return TokenKind::PLUSEQUAL; break;
    case '-':
      if (c2 == '=') return TokenKind::MINEQUAL;
      if (c2 == '>') return TokenKind::RARROW;
      break;
    case '/':
      if (c2 == '/') return TokenKind::DOUBLESLASH;
      if (c2 == '=') return TokenKind::SLASHEQUAL;
      break;
    case ':': if (c2 == '=') return TokenKind::COLONEQUAL; break;
    case '<':
      if (c2 == '<') return TokenKind::LEFTSHIFT;
      if (c2 == '=') return TokenKind::LESSEQUAL;
      break;
    case '=': if (c2 == '=') return TokenKind::EQEQUAL; break;
    case '>':
      if (c2 == '=') return TokenKind::GREATEREQUAL;
      if (c2 == '>') return TokenKind::RIGHTSHIFT;
      break;
    case '@': if (c2 == '=') return TokenKind::ATEQUAL; break;
    case '^': if (c2 == '=') return TokenKind::CIRCUMFLEXEQUAL; break;
    case '|': if (c2 == '=') return TokenKind::VBAREQUAL; break;
    default: break;
  }
  return TokenKind::ERRORTOKEN;
}

TokenKind three_chars(int c1, int c2, int c3) {
  if (c3 != '=' && !(c1 == '.' && c2 == '.' && c3 == '.')) return TokenKind::ERRORTOKEN;
  if (c1 == '*' && c2 == '*') return TokenKind::DOUBLESTAREQUAL;
  if (c1 == '/' && c2 == '/') return TokenKind::DOUBLESLASHEQUAL;
  if (c1 == '<' && c2 == '<') return TokenKind::LEFTSHIFTEQUAL;
  if (c1 == '>' && c2 == '>') return TokenKind::RIGHTSHIFTEQUAL;
  if (c1 == '.' && c2 == '.' && c3 == '.') return TokenKind::ELLIPSIS;
  return TokenKind::ERRORTOKEN;
}

constexpr std::array<std::string_view, static_cast<std::size_t>(TokenKind::ERRORTOKEN) + 1>
    kKindNames = {
        "ENDMARKER", "NAME", "NUMBER", "STRING", "NEWLINE", "INDENT", "DEDENT", "LPAR", "RPAR",
        "LSQB", "RSQB", "COLON", "COMMA", "SEMI", "PLUS", "MINUS", "STAR", "SLASH", "VBAR",
        "AMPER", "LESS", "GREATER", "EQUAL", "DOT", "PERCENT", "LBRACE", "RBRACE", "EQEQUAL",
        "NOTEQUAL", "LESSEQUAL", "GREATEREQUAL", "TILDE", "CIRCUMFLEX", "LEFTSHIFT",
        "RIGHTSHIFT", "DOUBLESTAR", "PLUSEQUAL", "MINEQUAL", "STAREQUAL", "SLASHEQUAL",
        "PERCENTEQUAL", "AMPEREQUAL", "VBAREQUAL", "CIRCUMFLEXEQUAL", "LEFTSHIFTEQUAL",
        "RIGHTSHIFTEQUAL", "DOUBLESTAREQUAL", "DOUBLESLASH", "DOUBLESLASHEQUAL", "AT",
        "ATEQUAL", "RARROW", "ELLIPSIS", "COLONEQUAL", "EXCLAMATION", "FSTRING_START",
        "FSTRING_MIDDLE", "FSTRING_END", "COMMENT", "NL", "ERRORTOKEN",
};

// One entry of the mode stack: regular code, or the literal part of one f-string.
struct Mode {
  bool fstring = false;     // an f-string (its literal text or one of its fields)
  bool in_literal = false;  // reading literal text / format spec rather than a field
  int quote = 0;
  int quote_size = 0;
  bool raw = false;
  bool in_format_spec = false;
  int curly_depth = 0;            // brackets opened inside this f-string's fields
  int expr_start_depth = -1;      // curly_depth at which the innermost field started
  std::uint32_t start = 0;        // offset of the f-string's prefix
};

std::string format(const char* fmt, int a, int b = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, fmt, a, b);
  return buf;
}

}  // namespace

std::string_view token_kind_name(TokenKind kind) {
  return kKindNames[static_cast<std::size_t>(kind)];
}

struct Tokenizer::State {
  std::string_view src;
  TokenizerOptions options;
  std::size_t n = 0;      // source size
  std::size_t end = 0;    // n, plus one for the line break added after an unfinished last line
  std::size_t cur = 0;
  std::size_t prev = 0;  // where the character last read by nextc() starts

  bool atbol = true;
  int pendin = 0;
  int indent = 0;
  std::array<int, kMaxIndent> indstack{};
  std::array<int, kMaxIndent> altindstack{};
  int level = 0;
  std::array<char, kMaxLevel> parenstack{};
  std::array<std::uint32_t, kMaxLevel> parenoffset{};
  bool comment_newline = false;  // trivia: a comment-only line awaits its NL

  std::vector<Mode> modes;
  bool finished = false;
  Token last;
  std::optional<TokenError> error;

  State(std::string_view source, TokenizerOptions opts) : src(source), options(opts) {
    n = src.size();
    end = n;
    if (n > 0 && src[n - 1] != '\n' && src[n - 1] != '\r') end = n + 1;
    modes.push_back(Mode{});
  }

  std::uint32_t off(std::size_t p) const {
    return static_cast<std::uint32_t>(p < n ? p : n);
  }

  // The next character with CR LF and lone CR read as LF; kEof at the end.
  int nextc() {
    prev = cur;
    if (cur >= end) {
      cur = end;
      return kEof;
    }
    if (cur == n) {
      ++cur;
      return '\n';
    }
    const auto b = static_cast<unsigned char>(src[cur++]);
    if (b == '\r') {
      if (cur < n && src[cur] == '\n') ++cur;
      return '\n';
    }
    return b;
  }

  // Peek without consuming.
  int peekc() {
    const std::size_t save = cur;
    const int c = nextc();
    cur = save;
    return c;
  }

  Token make(TokenKind kind, std::size_t start, std::size_t stop, std::uint16_t flags = 0) {
    Token t;
    t.kind = kind;
    t.flags = flags;
    t.range = {off(start), off(stop)};
    return t;
  }

  Token fail(std::string message, std::size_t at) {
    TokenError e;
    e.message = std::move(message);
    e.offset = off(at);
    e.line = line_position(src, e.offset).line;
    error = std::move(e);
    finished = true;
    // The token stands where reading stopped, so the stream stays ordered; the error keeps
    // the position that the message is about.
    const std::size_t here = cur > at ? cur : at;
    last = make(TokenKind::ERRORTOKEN, here, here);
    return last;
  }

  Mode& mode() { return modes.back(); }
  bool inside_fstring() const { return modes.size() > 1; }
  bool inside_fstring_expr() const {
    const Mode& m = modes.back();
    return m.fstring && m.expr_start_depth >= 0;
  }

  Token next() {
    if (finished) return last;
    if (src.size() >= std::numeric_limits<std::uint32_t>::max()) {
      return fail("source too large", 0);
    }
    Token t = mode().fstring && mode().in_literal ? fstring_mode() : normal_mode();
    if (t.kind == TokenKind::ENDMARKER || t.kind == TokenKind::ERRORTOKEN) {
      finished = true;
      last = t;
    }
    return t;
  }

  // Reads the rest of a backslash continuation: the line break must follow at once, and
  // the text must go on after it.
  bool continuation_line(std::size_t backslash) {
    const int c = nextc();
    if (c != '\n') {
      fail("unexpected character after line continuation character", backslash);
      return false;
    }
    if (peekc() == kEof) {
      fail("unexpected EOF while parsing", backslash);
      return false;
    }
    return true;
  }

  Token normal_mode() {
  nextline:
    bool blankline = false;
    if (atbol) {
      int col = 0;
      int altcol = 0;
      int cont_line_col = 0;
      atbol = false;
      int c;
      for (;;) {
        const std::size_t at = cur;
        c = nextc();
        if (c == ' ') {
          ++col, ++altcol;
        } else if (c == '\t') {
          col = (col / kTabSize + 1) * kTabSize;
          altcol = (altcol / kAltTabSize + 1) * kAltTabSize;
        } else if (c == '\f') {
          col = altcol = 0;
        } else if (c == '\\') {
          cont_line_col = cont_line_col ? cont_line_col : col;
          if (!continuation_line(at)) return last;
        } else {
          cur = at;
          break;
        }
      }
      if (c == '#' || c == '\n') blankline = true;
      if (!blankline && level == 0) {
        col = cont_line_col ? cont_line_col : col;
        altcol = cont_line_col ? cont_line_col : altcol;
        if (col == indstack[static_cast<std::size_t>(indent)]) {
          if (altcol != altindstack[static_cast<std::size_t>(indent)]) return tab_error();
        } else if (col > indstack[static_cast<std::size_t>(indent)]) {
          if (indent + 1 >= kMaxIndent) return fail("too many levels of indentation", cur);
          if (altcol <= altindstack[static_cast<std::size_t>(indent)]) return tab_error();
          ++pendin;
          ++indent;
          indstack[static_cast<std::size_t>(indent)] = col;
          altindstack[static_cast<std::size_t>(indent)] = altcol;
        } else {
          while (indent > 0 && col < indstack[static_cast<std::size_t>(indent)]) {
            --pendin;
            --indent;
          }
          if (col != indstack[static_cast<std::size_t>(indent)]) {
            return fail("unindent does not match any outer indentation level", cur);
          }
          if (altcol != altindstack[static_cast<std::size_t>(indent)]) return tab_error();
        }
      }
    }

    if (pendin != 0) {
      if (pendin < 0) {
        ++pendin;
        return make(TokenKind::DEDENT, cur, cur);
      }
      --pendin;
      return make(TokenKind::INDENT, line_start(cur), cur);
    }

  again:
    int c;
    std::size_t start;
    do {
      start = cur;
      c = nextc();
    } while (c == ' ' || c == '\t' || c == '\f');

    if (c == '#') {
      for (;;) {
        const int d = nextc();
        if (d == '\n' || d == kEof) {
          cur = prev;
          break;
        }
      }
      const std::size_t comment_end = cur;
      if (options.trivia) {
        comment_newline = blankline;
        return make(TokenKind::COMMENT, start, comment_end);
      }
      start = cur;
      c = nextc();
    }

    if (c == kEof) {
      if (level > 0) {
        return fail(format("'%c' was never closed", parenstack[static_cast<std::size_t>(level - 1)]),
                    parenoffset[static_cast<std::size_t>(level - 1)]);
      }
      if (inside_fstring()) return fail("unterminated f-string literal", mode().start);
      cur = end;
      return make(TokenKind::ENDMARKER, end, end);
    }

    if (is_potential_identifier_start(c)) {
      bool saw_b = false, saw_r = false, saw_u = false, saw_f = false;
      std::uint16_t flags = 0;
      for (;;) {
        if (!(saw_b || saw_u || saw_f) && (c == 'b' || c == 'B')) {
          saw_b = true, flags |= token_flags::kBytes;
        } else if (!(saw_b || saw_u || saw_r || saw_f) && (c == 'u' || c == 'U')) {
          saw_u = true, flags |= token_flags::kUnicode;
        } else if (!(saw_r || saw_u) && (c == 'r' || c == 'R')) {
          saw_r = true, flags |= token_flags::kRaw;
        } else if (!(saw_f || saw_b || saw_u) && (c == 'f' || c == 'F')) {
          saw_f = true, flags |= token_flags::kFormat;
        } else {
          break;
        }
        c = nextc();
        if (c == '"' || c == '\'') {
          if (saw_f) return fstring_start(start, c, flags);
          return string(start, c, flags);
        }
      }
      bool nonascii = false;
      while (is_potential_identifier_char(c)) {
        if (c >= 128) nonascii = true;
        c = nextc();
      }
      cur = prev;
      Token t = make(TokenKind::NAME, start, cur);
      if (nonascii) {
        t.flags |= token_flags::kNonAscii;
        if (!verify_identifier(start, cur)) return last;
      } else {
        t.keyword = keyword_of(src.substr(start, cur - start));
      }
      return t;
    }

    if (c == '\n') {
      atbol = true;
      if (blankline || level > 0) {
        if (options.trivia) {
          comment_newline = false;
          return make(TokenKind::NL, start, cur);
        }
        goto nextline;
      }
      if (comment_newline && options.trivia) {
        comment_newline = false;
        return make(TokenKind::NL, start, cur);
      }
      return make(TokenKind::NEWLINE, start, cur,
                  start >= n ? token_flags::kImplicit : std::uint16_t{0});
    }

    if (c == '.') {
      const std::size_t after_dot = cur;
      const int c2 = nextc();
      if (is_digit(c2)) return number_fraction(start, c2);
      if (c2 == '.') {
        if (nextc() == '.') return make(TokenKind::ELLIPSIS, start, cur);
      }
      cur = after_dot;
      return make(TokenKind::DOT, start, cur);
    }

    if (is_digit(c)) return number(start, c);

    if (c == '"' || c == '\'') return string(start, c, 0);

    if (c == '\\') {
      if (!continuation_line(start)) return last;
      goto again;
    }

    Mode& m = mode();
    std::uint16_t field_flag = 0;
    if ((c == ':' || c == '}' || c == '!' || c == '{') && inside_fstring() && inside_fstring_expr()) {
      const int cursor = m.curly_depth - (c != '{');
      if (c == ':' && cursor == m.expr_start_depth) {
        m.in_literal = true;
        m.in_format_spec = true;
        return make(TokenKind::COLON, start, cur, token_flags::kReplacementField);
      }
    }

    {
      const std::size_t after1 = cur;
      const int c2 = nextc();
      TokenKind kind = two_chars(c, c2);
      if (kind != TokenKind::ERRORTOKEN) {
        const std::size_t after2 = cur;
        const int c3 = nextc();
        const TokenKind kind3 = three_chars(c, c2, c3);
        if (kind3 != TokenKind::ERRORTOKEN) {
          kind = kind3;
        } else {
          cur = after2;
        }
        return make(kind, start, cur);
      }
      cur = after1;
    }

    switch (c) {
      case '(':
      case '[':
      case '{':
        if (level >= kMaxLevel) return fail("too many nested parentheses", start);
        parenstack[static_cast<std::size_t>(level)] = static_cast<char>(c);
        parenoffset[static_cast<std::size_t>(level)] = off(start);
        ++level;
        if (inside_fstring()) {
          if (c == '{' && m.curly_depth == m.expr_start_depth) {
            field_flag = token_flags::kReplacementField;
          }
          ++m.curly_depth;
        }
        break;
      case ')':
      case ']':
      case '}': {
        if (inside_fstring() && m.curly_depth == 0 && c == '}') {
          return fail("f-string: single '}' is not allowed", start);
        }
        if (level == 0) return fail(format("unmatched '%c'", c), start);
        --level;
        const int opening = parenstack[static_cast<std::size_t>(level)];
        if (!((opening == '(' && c == ')') || (opening == '[' && c == ']') ||
              (opening == '{' && c == '}'))) {
          if (inside_fstring() && opening == '{' && m.curly_depth - 1 == m.expr_start_depth) {
            return fail(format("f-string: unmatched '%c'", c), start);
          }
          return fail(format("closing parenthesis '%c' does not match opening parenthesis '%c'",
                             c, opening),
                      start);
        }
        if (inside_fstring()) {
          --m.curly_depth;
          if (m.curly_depth < 0) return fail(format("f-string: unmatched '%c'", c), start);
          if (c == '}' && m.curly_depth == m.expr_start_depth) {
            --m.expr_start_depth;
            m.in_literal = true;
            m.in_format_spec = false;
            field_flag = token_flags::kReplacementField;
          }
        }
        break;
      }
      default:
        break;
    }

    const TokenKind kind = one_char(c);
    if (kind == TokenKind::ERRORTOKEN) {
      if (c < 0x20 || c == 0x7F) {
        if (c == 0) return fail("source code cannot contain null bytes", start);
        return fail(format("invalid non-printable character U+%04X", c), start);
      }
      return fail("invalid syntax", start);
    }
    return make(kind, start, cur, field_flag);
  }

  Token tab_error() { return fail("inconsistent use of tabs and spaces in indentation", cur); }

  std::size_t line_start(std::size_t p) const {
    std::size_t q = p < n ? p : n;
    while (q > 0 && src[q - 1] != '\n' && src[q - 1] != '\r') --q;
    return q;
  }

  bool verify_identifier(std::size_t start, std::size_t stop) {
    std::size_t p = start;
    bool first = true;
    while (p < stop) {
      const std::size_t at = p;
      const Utf8Step step = decode_utf8(src.substr(0, stop), p);
      const char32_t ch = step.code_point;  // U+FFFD, never an identifier character, if ill-formed
      p += step.length;
      const bool ok = first ? is_identifier_start(ch) : is_identifier_continue(ch);
      if (!ok) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "invalid character U+%04X", static_cast<unsigned>(ch));
        fail(buf, at);
        return false;
      }
      first = false;
    }
    return true;
  }

  // After a digit run of a decimal literal: digits with single underscores between them.
  // Returns the first character after the run, or -2 after an error.
  int decimal_tail() {
    int c;
    for (;;) {
      do {
        c = nextc();
      } while (is_digit(c));
      if (c != '_') break;
      const std::size_t at = cur;
      c = nextc();
      if (!is_digit(c)) {
        cur = at;
        fail("invalid decimal literal", at);
        return -2;
      }
    }
    return c;
  }

  // The character `c` (already read) ends a number. Letters glued to a number are an error,
  // except the keywords that may follow a number in valid code (CPython only warns there).
  bool end_of_number(int c, const char* kind) { return end_of_number_at(c, prev, kind); }
  bool end_of_number_at(int c, std::size_t at, const char* kind) {
    bool keyword_follows = false;
    auto follows = [&](std::string_view word) {
      // `c` is word[0]; the rest must follow and then no identifier character.
      std::size_t p = at + 1;
      for (std::size_t i = 1; i < word.size(); ++i, ++p) {
        if (p >= n || src[p] != word[i]) return false;
      }
      return !(p < n && is_potential_identifier_char(static_cast<unsigned char>(src[p])));
    };
    if (c == 'a') {
      keyword_follows = follows("and");
    } else if (c == 'e') {
      keyword_follows = follows("else");
    } else if (c == 'f') {
      keyword_follows = follows("for");
    } else if (c == 'i') {
      const int c2 = at + 1 < n ? static_cast<unsigned char>(src[at + 1]) : kEof;
      keyword_follows = c2 == 'f' || c2 == 'n' || c2 == 's';
    } else if (c == 'o') {
      keyword_follows = follows("or");
    } else if (c == 'n') {
      keyword_follows = follows("not");
    }
    if (!keyword_follows && c != kEof && c < 128 && is_potential_identifier_char(c)) {
      fail(std::string("invalid ") + kind + " literal", at);
      return false;
    }
    return true;
  }

  Token number_token(std::size_t start, int c) {
    // `c` was the last character read and ends the number: give it back.
    (void)c;
    cur = prev;
    return make(TokenKind::NUMBER, start, cur);
  }

  Token number(std::size_t start, int c) {
    if (c == '0') {
      c = nextc();
      if (c == 'x' || c == 'X') {
        c = nextc();
        do {
          if (c == '_') c = nextc();
          if (!is_xdigit(c)) return fail("invalid hexadecimal literal", cur - 1);
          do {
            c = nextc();
          } while (is_xdigit(c));
        } while (c == '_');
        if (!end_of_number(c, "hexadecimal")) return last;
        return number_token(start, c);
      }
      if (c == 'o' || c == 'O') {
        c = nextc();
        do {
          if (c == '_') c = nextc();
          if (c < '0' || c >= '8') {
            if (is_digit(c)) return fail(format("invalid digit '%c' in octal literal", c), cur - 1);
            return fail("invalid octal literal", cur - 1);
          }
          do {
            c = nextc();
          } while ('0' <= c && c < '8');
        } while (c == '_');
        if (is_digit(c)) return fail(format("invalid digit '%c' in octal literal", c), cur - 1);
        if (!end_of_number(c, "octal")) return last;
        return number_token(start, c);
      }
      if (c == 'b' || c == 'B') {
        c = nextc();
        do {
          if (c == '_') c = nextc();
          if (c != '0' && c != '1') {
            if (is_digit(c)) return fail(format("invalid digit '%c' in binary literal", c), cur - 1);
            return fail("invalid binary literal", cur - 1);
          }
          do {
            c = nextc();
          } while (c == '0' || c == '1');
        } while (c == '_');
        if (is_digit(c)) return fail(format("invalid digit '%c' in binary literal", c), cur - 1);
        if (!end_of_number(c, "binary")) return last;
        return number_token(start, c);
      }
      bool nonzero = false;
      for (;;) {
        if (c == '_') {
          c = nextc();
          if (!is_digit(c)) return fail("invalid decimal literal", cur - 1);
        }
        if (c != '0') break;
        c = nextc();
      }
      if (is_digit(c)) {
        nonzero = true;
        c = decimal_tail();
        if (c == -2) return last;
      }
      if (c == '.') return number_fraction(start, nextc());
      if (c == 'e' || c == 'E') return number_exponent(start, c);
      if (c == 'j' || c == 'J') return number_imaginary(start);
      if (nonzero) {
        return fail(
            "leading zeros in decimal integer literals are not permitted; use an 0o prefix for "
            "octal integers",
            start);
      }
      if (!end_of_number(c, "decimal")) return last;
      return number_token(start, c);
    }
    c = decimal_tail();
    if (c == -2) return last;
    if (c == '.') return number_fraction(start, nextc());
    if (c == 'e' || c == 'E') return number_exponent(start, c);
    if (c == 'j' || c == 'J') return number_imaginary(start);
    if (!end_of_number(c, "decimal")) return last;
    return number_token(start, c);
  }

  // After the '.' of a float; `c` is the character after it (already read).
  Token number_fraction(std::size_t start, int c) {
    if (is_digit(c)) {
      c = decimal_tail();
      if (c == -2) return last;
    }
    if (c == 'e' || c == 'E') return number_exponent(start, c);
    if (c == 'j' || c == 'J') return number_imaginary(start);
    if (!end_of_number(c, "decimal")) return last;
    return number_token(start, c);
  }

  Token number_exponent(std::size_t start, int e) {
    const std::size_t at_e = prev;
    int c = nextc();
    if (c == '+' || c == '-') {
      c = nextc();
      if (!is_digit(c)) return fail("invalid decimal literal", cur - 1);
    } else if (!is_digit(c)) {
      // "1e" followed by no digit: the number ends before the e, which must then be a
      // keyword such as else.
      if (!end_of_number_at(e, at_e, "decimal")) return last;
      cur = at_e;
      return make(TokenKind::NUMBER, start, cur);
    }
    c = decimal_tail();
    if (c == -2) return last;
    if (c == 'j' || c == 'J') return number_imaginary(start);
    if (!end_of_number(c, "decimal")) return last;
    return number_token(start, c);
  }

  Token number_imaginary(std::size_t start) {
    const int c = nextc();
    if (!end_of_number(c, "imaginary")) return last;
    return number_token(start, c);
  }

  // A string literal without f: `quote` was just read; `flags` holds the prefix letters.
  Token string(std::size_t start, int quote, std::uint16_t flags) {
    if (quote == '"') flags |= token_flags::kDouble;
    int quote_size = 1;
    int end_quote_size = 0;
    bool escaped_quote = false;
    const std::size_t after_open = cur;
    int c = nextc();
    if (c == quote) {
      const std::size_t after_two = cur;
      c = nextc();
      if (c == quote) {
        quote_size = 3;
        flags |= token_flags::kTriple;
      } else {
        end_quote_size = 1;  // the empty string
        cur = after_two;
      }
    } else {
      cur = after_open;
    }
    while (end_quote_size != quote_size) {
      c = nextc();
      if (c == kEof || (quote_size == 1 && c == '\n')) {
        if (inside_fstring()) {
          const Mode& m = mode();
          if (m.quote == quote && m.quote_size == quote_size) {
            return fail("f-string: expecting '}'", start);
          }
        }
        const std::uint32_t detected = line_position(src, off(cur > 0 ? cur - 1 : 0)).line;
        if (quote_size == 3) {
          return fail(format("unterminated triple-quoted string literal (detected at line %d)",
                             static_cast<int>(detected)),
                      start);
        }
        return fail(format(escaped_quote ? "unterminated string literal (detected at line %d); "
                                           "perhaps you escaped the end quote?"
                                         : "unterminated string literal (detected at line %d)",
                           static_cast<int>(detected)),
                    start);
      }
      if (c == quote) {
        ++end_quote_size;
      } else {
        end_quote_size = 0;
        if (c == '\\') {
          c = nextc();
          if (c == quote) escaped_quote = true;
        }
      }
    }
    return make(TokenKind::STRING, start, cur, flags);
  }

  Token fstring_start(std::size_t start, int quote, std::uint16_t flags) {
    if (quote == '"') flags |= token_flags::kDouble;
    int quote_size = 1;
    const std::size_t after_open = cur;
    const int c1 = nextc();
    if (c1 == quote) {
      const int c2 = nextc();
      if (c2 == quote) {
        quote_size = 3;
        flags |= token_flags::kTriple;
      } else {
        cur = after_open;
      }
    } else {
      cur = after_open;
    }
    if (static_cast<int>(modes.size()) >= kMaxFStringLevel) {
      return fail("too many nested f-strings", start);
    }
    Mode m;
    m.fstring = true;
    m.in_literal = true;
    m.quote = quote;
    m.quote_size = quote_size;
    m.raw = (flags & token_flags::kRaw) != 0;
    m.start = off(start);
    modes.push_back(m);
    return make(TokenKind::FSTRING_START, start, cur, flags);
  }

  // Literal text of an f-string (or of a format spec), its end, or the start of a field.
  Token fstring_mode() {
    Mode& m = mode();
    const std::size_t start = cur;
    if (peekc() == '{') {
      nextc();
      const int peek = peekc();
      cur = start;
      if (peek != '{') {
        if (!enter_field(start)) return last;
        return normal_mode();
      }
    }

    // The closing quotes?
    {
      bool closing = true;
      for (int i = 0; i < m.quote_size; ++i) {
        if (nextc() != m.quote) {
          closing = false;
          break;
        }
      }
      if (closing) {
        modes.pop_back();
        return make(TokenKind::FSTRING_END, start, cur);
      }
      cur = start;
    }

    const bool in_format_spec = m.in_format_spec && m.expr_start_depth >= 0;
    const std::uint16_t flags = in_format_spec ? token_flags::kFormatSpec : std::uint16_t{0};
    int end_quote_size = 0;
    bool unicode_escape = false;
    while (end_quote_size != m.quote_size) {
      const int c = nextc();
      const std::size_t at = prev;
      if (c == kEof || (m.quote_size == 1 && c == '\n')) {
        if (in_format_spec && c == '\n') {
          // A line break ends the format spec of a single-quoted f-string.
          cur = at;
          m.in_literal = false;
          m.in_format_spec = false;
          return middle_or_next(start, at, flags);
        }
        const std::uint32_t detected = line_position(src, off(at)).line;
        if (m.quote_size == 3) {
          return fail(format("unterminated triple-quoted f-string literal (detected at line %d)",
                             static_cast<int>(detected)),
                      m.start);
        }
        return fail(format("unterminated f-string literal (detected at line %d)",
                           static_cast<int>(detected)),
                    m.start);
      }
      if (c == m.quote) {
        ++end_quote_size;
        continue;
      }
      end_quote_size = 0;
      if (c == '{') {
        const int peek = peekc();
        if (peek != '{' || in_format_spec) {
          cur = at;
          if (!enter_field(at)) return last;
          return middle_or_next(start, at, flags);
        }
        nextc();  // "{{" is literal text
        continue;
      }
      if (c == '}') {
        if (unicode_escape) {
          unicode_escape = false;
          continue;
        }
        const int peek = peekc();
        if (peek == '}' && !in_format_spec && m.curly_depth == 0) {
          nextc();  // "}}" is literal text
          continue;
        }
        cur = at;
        m.in_literal = false;
        m.in_format_spec = false;
        return middle_or_next(start, at, flags);
      }
      if (c == '\\') {
        const std::size_t after_backslash = cur;
        int peek = nextc();
        if (peek == '{' || peek == '}' || peek == kEof) {
          cur = after_backslash;
          continue;
        }
        if (!m.raw && peek == 'N') {
          const std::size_t after_n = cur;
          peek = nextc();
          if (peek == '{') {
            unicode_escape = true;
          } else {
            cur = after_n;
          }
        }
      }
    }
    // The closing quotes were read: give them back for FSTRING_END.
    const std::size_t quotes_start = cur - static_cast<std::size_t>(m.quote_size);
    return middle_or_next(start, quotes_start, flags);
  }

  // A replacement field starts at `at` (its '{' not yet read).
  bool enter_field(std::size_t at) {
    Mode& m = mode();
    ++m.expr_start_depth;
    if (m.expr_start_depth >= kMaxExprNesting) {
      fail("f-string: expressions nested too deeply", at);
      return false;
    }
    m.in_literal = false;
    m.in_format_spec = false;
    return true;
  }

  // Literal text from `start` to `stop`; the cursor is set to `stop`. Empty text is no
  // token: go on with whatever comes next.
  Token middle_or_next(std::size_t start, std::size_t stop, std::uint16_t flags) {
    cur = stop;
    if (stop > start) return make(TokenKind::FSTRING_MIDDLE, start, stop, flags);
    return next_inner();
  }

  Token next_inner() {
    return mode().fstring && mode().in_literal ? fstring_mode() : normal_mode();
  }
};

Tokenizer::Tokenizer(std::string_view source, TokenizerOptions options)
    : _state(new State(source, options)) {}
Tokenizer::~Tokenizer() { delete _state; }
Tokenizer::Tokenizer(Tokenizer&& other) noexcept : _state(other._state) { other._state = nullptr; }
Tokenizer& Tokenizer::operator=(Tokenizer&& other) noexcept {
  if (this != &other) {
    delete _state;
    _state = other._state;
    other._state = nullptr;
  }
  return *this;
}

Token Tokenizer::next() { return _state->next(); }
const std::optional<TokenError>& Tokenizer::error() const { return _state->error; }
std::string_view Tokenizer::source() const { return _state->src; }

TokenStream tokenize(std::string_view source, TokenizerOptions options) {
  TokenStream out;
  Tokenizer tokenizer(source, options);
  out.tokens.reserve(source.size() / 4 + 4);
  for (;;) {
    const Token t = tokenizer.next();
    out.tokens.push_back(t);
    if (t.kind == TokenKind::ENDMARKER || t.kind == TokenKind::ERRORTOKEN) break;
  }
  out.error = tokenizer.error();
  return out;
}

LinePosition line_position(std::string_view source, std::uint32_t offset) {
  LinePosition pos;
  std::uint32_t line_begin = 0;
  const std::size_t stop = offset < source.size() ? offset : source.size();
  for (std::size_t i = 0; i < stop; ++i) {
    const char ch = source[i];
    if (ch == '\n' || (ch == '\r' && !(i + 1 < source.size() && source[i + 1] == '\n'))) {
      ++pos.line;
      line_begin = static_cast<std::uint32_t>(i + 1);
    }
  }
  pos.column = offset - line_begin;
  return pos;
}

}  // namespace pelmora
