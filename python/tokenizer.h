#pragma once
// Python 3.13 tokenizer: the lexical rules of the language reference as CPython's own
// tokenizer applies them. Tokens slice the source ({kind, range, flags}); nothing is copied.
//
// The stream is what CPython's parser sees, plus (optionally) the COMMENT and NL tokens of
// the tokenize module: NAME, NUMBER, STRING, FSTRING_START/MIDDLE/END, one exact kind per
// operator, NEWLINE, INDENT, DEDENT, ENDMARKER. The first lexical error ends the stream with
// one ERRORTOKEN and a TokenError (message and position).
//
// Thread safety: a Tokenizer is a plain value used by one thread; distinct tokenizers are
// independent.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora {

// Token kinds, named as in CPython's token module.
enum class TokenKind : std::uint8_t {
  ENDMARKER,
  NAME,
  NUMBER,
  STRING,
  NEWLINE,
  INDENT,
  DEDENT,
  // Operators and delimiters (CPython's exact operator types).
  LPAR,              // (
  RPAR,              // )
  LSQB,              // [
  RSQB,              // ]
  COLON,             // :
  COMMA,             // ,
  SEMI,              // ;
  PLUS,              // +
  MINUS,             // -
  STAR,              // *
  SLASH,             // /
  VBAR,              // |
  AMPER,             // &
  LESS,              // <
  GREATER,           // >
  EQUAL,             // =
  DOT,               // .
  PERCENT,           // %
  LBRACE,            // {
  RBRACE,            // }
  EQEQUAL,           // ==
  NOTEQUAL,          // != (also <> under barry_as_FLUFL, which is not supported)
  LESSEQUAL,         // <=
  GREATEREQUAL,      // >=
  TILDE,             // ~
  CIRCUMFLEX,        // ^
  LEFTSHIFT,         // <<
  RIGHTSHIFT,        // >>
  DOUBLESTAR,        // **
  PLUSEQUAL,         // +=
  MINEQUAL,          // -=
  STAREQUAL,         // *=
  SLASHEQUAL,        // /=
  PERCENTEQUAL,      // %=
  AMPEREQUAL,        // &=
  VBAREQUAL,         // |=
  CIRCUMFLEXEQUAL,   // ^=
  LEFTSHIFTEQUAL,    // <<=
  RIGHTSHIFTEQUAL,   // >>=
  DOUBLESTAREQUAL,   // **=
  DOUBLESLASH,       // //
  DOUBLESLASHEQUAL,  // //=
  AT,                // @
  ATEQUAL,           // @=
  RARROW,            // ->
  ELLIPSIS,          // ...
  COLONEQUAL,        // :=
  EXCLAMATION,       // ! (only inside an f-string replacement field)
  // Strings with replacement fields (PEP 701).
  FSTRING_START,   // prefix and opening quote(s): f"  rf'''
  FSTRING_MIDDLE,  // literal text between fields, or a format spec; "{{" "}}" stay doubled
  FSTRING_END,     // closing quote(s)
  // Trivia, only when TokenizerOptions::trivia is set.
  COMMENT,  // from # to the end of the physical line (without the line break)
  NL,       // a line break that does not end a logical line
  ERRORTOKEN,
};

// The token module's name of a kind ("NAME", "LPAR", ...).
std::string_view token_kind_name(TokenKind kind);

// True for LPAR .. EXCLAMATION (the kinds that tokenize.py reports as OP).
constexpr bool is_operator(TokenKind kind) {
  return kind >= TokenKind::LPAR && kind <= TokenKind::EXCLAMATION;
}

// Reserved words and soft keywords. A NAME token carries its keyword when its text is
// exactly the keyword's spelling; as in CPython, keywords are matched before NFKC
// normalisation, so "ｉｍｐｏｒｔ" is the name import, not the keyword.
enum class Keyword : std::uint8_t {
  kNotKeyword,
  // Reserved.
  kFalse, kNone, kTrue, kAnd, kAs, kAssert, kAsync, kAwait, kBreak, kClass, kContinue,
  kDef, kDel, kElif, kElse, kExcept, kFinally, kFor, kFrom, kGlobal, kIf, kImport, kIn,
  kIs, kLambda, kNonlocal, kNot, kOr, kPass, kRaise, kReturn, kTry, kWhile, kWith, kYield,
  // Soft keywords: names the grammar treats as keywords only in some positions.
  kMatch, kCase, kType, kUnderscore,
};

constexpr bool is_soft_keyword(Keyword k) { return k >= Keyword::kMatch; }
constexpr bool is_reserved_keyword(Keyword k) {
  return k != Keyword::kNotKeyword && !is_soft_keyword(k);
}

// Half-open byte range [start, end) into the source.
struct TextRange {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint32_t size() const { return end - start; }
};

// Token flags.
namespace token_flags {
// STRING and FSTRING_START: the prefix letters and the quotes.
inline constexpr std::uint16_t kRaw = 1u << 0;      // r or R
inline constexpr std::uint16_t kBytes = 1u << 1;    // b or B
inline constexpr std::uint16_t kUnicode = 1u << 2;  // u or U
inline constexpr std::uint16_t kFormat = 1u << 3;   // f or F
inline constexpr std::uint16_t kTriple = 1u << 4;   // ''' or """
inline constexpr std::uint16_t kDouble = 1u << 5;   // " rather than '
// NAME: holds a non-ASCII character (normalise with normalize_identifier before comparing).
inline constexpr std::uint16_t kNonAscii = 1u << 6;
// NEWLINE: implicit, at the end of a text whose last line has no line break (empty range).
inline constexpr std::uint16_t kImplicit = 1u << 7;
// FSTRING_MIDDLE: part of a format spec (after the ':' of a replacement field).
inline constexpr std::uint16_t kFormatSpec = 1u << 8;
// LBRACE / RBRACE / COLON that open, close or start the format spec of an f-string
// replacement field (rather than a dict or set display inside it).
inline constexpr std::uint16_t kReplacementField = 1u << 9;
}  // namespace token_flags

struct Token {
  TokenKind kind = TokenKind::ENDMARKER;
  Keyword keyword = Keyword::kNotKeyword;  // NAME only
  std::uint16_t flags = 0;
  TextRange range;

  std::string_view text(std::string_view source) const {
    return source.substr(range.start, range.size());
  }
};

// The first lexical error. `message` is CPython's wording where there is one
// ("unterminated string literal (detected at line 3)", "unindent does not match any outer
// indentation level", ...); `line` is 1-based; `offset` is a byte offset into the source.
struct TokenError {
  std::string message;
  std::uint32_t line = 0;
  std::uint32_t offset = 0;
};

struct TokenizerOptions {
  bool trivia = false;  // also emit COMMENT and NL tokens
};

// Pull tokenizer over one source text (UTF-8, already decoded; CR LF and lone CR are line
// breaks). The source must outlive the tokenizer and every token it returns.
// Requires: source.size() < 4 GiB (a larger source yields an error at once).
class Tokenizer {
 public:
  explicit Tokenizer(std::string_view source, TokenizerOptions options = {});
  ~Tokenizer();
  Tokenizer(Tokenizer&&) noexcept;
  Tokenizer& operator=(Tokenizer&&) noexcept;
  Tokenizer(const Tokenizer&) = delete;
  Tokenizer& operator=(const Tokenizer&) = delete;

  // The next token. After ENDMARKER or ERRORTOKEN, returns that same token again.
  Token next();

  // Set once next() has returned ERRORTOKEN.
  const std::optional<TokenError>& error() const;

  std::string_view source() const;

 private:
  struct State;
  State* _state;
};

// The whole stream, ending with ENDMARKER, or with ERRORTOKEN when `error` is set.
struct TokenStream {
  std::vector<Token> tokens;
  std::optional<TokenError> error;
};
TokenStream tokenize(std::string_view source, TokenizerOptions options = {});

// 1-based line and column (in bytes) of a byte offset; lines end at LF, CR LF or lone CR.
struct LinePosition {
  std::uint32_t line = 1;
  std::uint32_t column = 0;
};
LinePosition line_position(std::string_view source, std::uint32_t offset);

}  // namespace pelmora
