#include "python/tokenizer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "python/source.h"

namespace pelmora {
namespace {

// "KIND:text" for every token but ENDMARKER, space separated.
std::string dump(std::string_view src, TokenizerOptions options = {}) {
  const TokenStream s = tokenize(src, options);
  std::string out;
  for (const Token& t : s.tokens) {
    if (t.kind == TokenKind::ENDMARKER) break;
    if (!out.empty()) out += ' ';
    out += token_kind_name(t.kind);
    if (t.kind == TokenKind::ERRORTOKEN) break;
    if (t.range.size() > 0 && t.kind != TokenKind::NEWLINE && t.kind != TokenKind::NL &&
        t.kind != TokenKind::INDENT) {
      out += ':';
      out += t.text(src);
    }
  }
  return out;
}

std::string error_of(std::string_view src) {
  const TokenStream s = tokenize(src);
  return s.error ? s.error->message : "";
}

TEST(Tokenizer, OperatorsHaveExactKinds) {
  EXPECT_EQ(dump("a**=b//=c->d:=e...f"),
            "NAME:a DOUBLESTAREQUAL:**= NAME:b DOUBLESLASHEQUAL://= NAME:c RARROW:-> NAME:d "
            "COLONEQUAL::= NAME:e ELLIPSIS:... NAME:f NEWLINE");
  EXPECT_EQ(dump("x<<=1>>2!=3<=4>=5@=6"),
            "NAME:x LEFTSHIFTEQUAL:<<= NUMBER:1 RIGHTSHIFT:>> NUMBER:2 NOTEQUAL:!= NUMBER:3 "
            "LESSEQUAL:<= NUMBER:4 GREATEREQUAL:>= NUMBER:5 ATEQUAL:@= NUMBER:6 NEWLINE");
  EXPECT_EQ(dump("a..b"), "NAME:a DOT:. DOT:. NAME:b NEWLINE");
  EXPECT_EQ(dump("x = $"), "NAME:x EQUAL:= ERRORTOKEN");
}

TEST(Tokenizer, Numbers) {
  EXPECT_EQ(dump("1_000 0x_1f 0o17 0b1_0 1.5e-3j .5 5. 0 00 0_0 1e5"),
            "NUMBER:1_000 NUMBER:0x_1f NUMBER:0o17 NUMBER:0b1_0 NUMBER:1.5e-3j NUMBER:.5 "
            "NUMBER:5. NUMBER:0 NUMBER:00 NUMBER:0_0 NUMBER:1e5 NEWLINE");
  // Keywords glued to a number are allowed (CPython only warns); other letters are not.
  EXPECT_EQ(dump("1if x else 2"), "NUMBER:1 NAME:if NAME:x NAME:else NUMBER:2 NEWLINE");
  EXPECT_EQ(dump("0x1for"), "NUMBER:0x1f NAME:or NEWLINE");
  EXPECT_EQ(dump("1else"), "NUMBER:1 NAME:else NEWLINE");
  EXPECT_EQ(error_of("1abc"), "invalid decimal literal");
  EXPECT_EQ(error_of("1__0"), "invalid decimal literal");
  EXPECT_EQ(error_of("1_"), "invalid decimal literal");
  EXPECT_EQ(error_of("0b2"), "invalid digit '2' in binary literal");
  EXPECT_EQ(error_of("0o8"), "invalid digit '8' in octal literal");
  EXPECT_EQ(error_of("0x"), "invalid hexadecimal literal");
  EXPECT_EQ(error_of("1e+"), "invalid decimal literal");
  EXPECT_NE(error_of("0777").find("leading zeros"), std::string::npos);
  EXPECT_EQ(error_of("1.__class__"), "invalid decimal literal");
}

TEST(Tokenizer, StringPrefixesAndQuotes) {
  EXPECT_EQ(dump("rb'x' BR\"x\" u'x' b'''a\nb''' r'\\'' ''"),
            "STRING:rb'x' STRING:BR\"x\" STRING:u'x' STRING:b'''a\nb''' STRING:r'\\'' STRING:'' "
            "NEWLINE");
  // Prefixes that are not valid combinations are names followed by a string.
  EXPECT_EQ(dump("ur'x'"), "NAME:ur STRING:'x' NEWLINE");
  EXPECT_EQ(dump("bf'x'"), "NAME:bf STRING:'x' NEWLINE");
  const TokenStream s = tokenize("Rb'''x'''");
  ASSERT_EQ(s.tokens[0].kind, TokenKind::STRING);
  EXPECT_EQ(s.tokens[0].flags & (token_flags::kRaw | token_flags::kBytes | token_flags::kTriple),
            token_flags::kRaw | token_flags::kBytes | token_flags::kTriple);
  EXPECT_EQ(error_of("'abc"), "unterminated string literal (detected at line 1)");
  EXPECT_EQ(error_of("x = 1\n'a\\'\n"),
            "unterminated string literal (detected at line 2); perhaps you escaped the end quote?");
  EXPECT_EQ(error_of("'''abc\n\n"), "unterminated triple-quoted string literal (detected at line 2)");
  EXPECT_EQ(dump("'a\\\nb'"), "STRING:'a\\\nb' NEWLINE");  // an escaped line break
}

TEST(Tokenizer, FStringsNestAsInPep701) {
  EXPECT_EQ(dump("f'a{x!r:>{w}}b'"),
            "FSTRING_START:f' FSTRING_MIDDLE:a LBRACE:{ NAME:x EXCLAMATION:! NAME:r COLON:: "
            "FSTRING_MIDDLE:> LBRACE:{ NAME:w RBRACE:} RBRACE:} FSTRING_MIDDLE:b FSTRING_END:' "
            "NEWLINE");
  // The same quote inside a replacement field, and f-strings inside f-strings.
  EXPECT_EQ(dump("f'{f'{x}'}'"),
            "FSTRING_START:f' LBRACE:{ FSTRING_START:f' LBRACE:{ NAME:x RBRACE:} FSTRING_END:' "
            "RBRACE:} FSTRING_END:' NEWLINE");
  EXPECT_EQ(dump("f'{{x}}'"), "FSTRING_START:f' FSTRING_MIDDLE:{{x}} FSTRING_END:' NEWLINE");
  // A comment inside a triple-quoted f-string's field.
  EXPECT_EQ(dump("f'''{x # c\n}'''"),
            "FSTRING_START:f''' LBRACE:{ NAME:x RBRACE:} FSTRING_END:''' NEWLINE");
  EXPECT_EQ(dump("f'{x=}'"), "FSTRING_START:f' LBRACE:{ NAME:x EQUAL:= RBRACE:} FSTRING_END:' NEWLINE");
  EXPECT_EQ(dump("f'\\N{BULLET} {x}'"),
            "FSTRING_START:f' FSTRING_MIDDLE:\\N{BULLET}  LBRACE:{ NAME:x RBRACE:} FSTRING_END:' "
            "NEWLINE");
  EXPECT_EQ(error_of("f'}'"), "f-string: single '}' is not allowed");
  EXPECT_EQ(error_of("f'{x'"), "f-string: expecting '}'");
  EXPECT_EQ(error_of("f'abc"), "unterminated f-string literal (detected at line 1)");
  EXPECT_EQ(error_of("f'{x:{y:{z:{w}}}}'"), "f-string: expressions nested too deeply");
  const TokenStream s = tokenize("f'{x}'");
  EXPECT_NE(s.tokens[1].flags & token_flags::kReplacementField, 0);
  EXPECT_NE(s.tokens[3].flags & token_flags::kReplacementField, 0);
}

TEST(Tokenizer, LogicalLinesAndIndentation) {
  EXPECT_EQ(dump("if x:\n    y\n\n  # c\n    z\nw\n"),
            "NAME:if NAME:x COLON:: NEWLINE INDENT NAME:y NEWLINE NAME:z NEWLINE DEDENT NAME:w "
            "NEWLINE");
  EXPECT_EQ(dump("x = (1,\n  2)\n"), "NAME:x EQUAL:= LPAR:( NUMBER:1 COMMA:, NUMBER:2 RPAR:) NEWLINE");
  EXPECT_EQ(dump("x = 1 + \\\n  2"), "NAME:x EQUAL:= NUMBER:1 PLUS:+ NUMBER:2 NEWLINE");
  // CR LF and lone CR end lines like LF.
  EXPECT_EQ(dump("if x:\r\n  y\r  z\rw"),
            "NAME:if NAME:x COLON:: NEWLINE INDENT NAME:y NEWLINE NAME:z NEWLINE DEDENT NAME:w "
            "NEWLINE");
  // The last line gets an implicit NEWLINE; its range is empty.
  const TokenStream s = tokenize("x");
  ASSERT_EQ(s.tokens.size(), 3u);
  EXPECT_NE(s.tokens[1].flags & token_flags::kImplicit, 0);
  EXPECT_EQ(dump(""), "");
  EXPECT_EQ(dump("# c"), "");
}

TEST(Tokenizer, IndentationErrors) {
  EXPECT_EQ(error_of("if x:\n    a\n  b\n"), "unindent does not match any outer indentation level");
  EXPECT_EQ(error_of("if x:\n\ta\n        b\n"), "inconsistent use of tabs and spaces in indentation");
  EXPECT_EQ(error_of("if x:\n        a\n\tb\n"), "inconsistent use of tabs and spaces in indentation");
  EXPECT_EQ(error_of("if x:\n\ta\n\tb\n"), "");
  std::string deep;
  for (int i = 0; i < 100; ++i) deep += std::string(static_cast<std::size_t>(i), ' ') + "if x:\n";
  EXPECT_EQ(error_of(deep + std::string(100, ' ') + "pass\n"), "too many levels of indentation");
  EXPECT_EQ(error_of("x = 1 \\"), "unexpected EOF while parsing");
  EXPECT_EQ(error_of("x = 1 \\ y"), "unexpected character after line continuation character");
}

TEST(Tokenizer, Brackets) {
  EXPECT_EQ(error_of("(]"), "closing parenthesis ']' does not match opening parenthesis '('");
  EXPECT_EQ(error_of(")"), "unmatched ')'");
  EXPECT_EQ(error_of("(\n"), "'(' was never closed");
  EXPECT_EQ(error_of(std::string(200, '(') + std::string(200, ')')), "");
  EXPECT_EQ(error_of(std::string(201, '(') + std::string(201, ')')), "too many nested parentheses");
}

TEST(Tokenizer, NamesAndUnicode) {
  const TokenStream s = tokenize("ｉｍｐｏｒｔ import important _ match µ");
  ASSERT_GE(s.tokens.size(), 6u);
  EXPECT_EQ(s.tokens[0].keyword, Keyword::kNotKeyword);  // keywords are matched before NFKC
  EXPECT_NE(s.tokens[0].flags & token_flags::kNonAscii, 0);
  EXPECT_EQ(s.tokens[1].keyword, Keyword::kImport);
  EXPECT_EQ(s.tokens[2].keyword, Keyword::kNotKeyword);
  EXPECT_EQ(s.tokens[3].keyword, Keyword::kUnderscore);
  EXPECT_TRUE(is_soft_keyword(s.tokens[4].keyword));
  EXPECT_EQ(s.tokens[5].kind, TokenKind::NAME);
  EXPECT_EQ(error_of("€ = 1"), "invalid character U+20AC");
  EXPECT_EQ(error_of("x = 1\xc2\xa0"), "invalid character U+00A0");
  EXPECT_EQ(error_of("\xef\xbb\xbfx = 1"), "invalid character U+FEFF");
  EXPECT_EQ(error_of("a\xe2\x80\x8d = 1"), "");  // ZWJ continues a name in Unicode 15.1
  EXPECT_EQ(error_of("x = 1\x01"), "invalid non-printable character U+0001");
  EXPECT_EQ(error_of(std::string("x = 1\0", 6)), "source code cannot contain null bytes");
}

TEST(Tokenizer, TriviaMode) {
  TokenizerOptions trivia;
  trivia.trivia = true;
  EXPECT_EQ(dump("# a\nx = (1, # b\n2)\n", trivia),
            "COMMENT:# a NL NAME:x EQUAL:= LPAR:( NUMBER:1 COMMA:, COMMENT:# b NL NUMBER:2 "
            "RPAR:) NEWLINE");
}

TEST(Tokenizer, ErrorAndEndRepeat) {
  Tokenizer t("'x");
  EXPECT_EQ(t.next().kind, TokenKind::ERRORTOKEN);
  EXPECT_EQ(t.next().kind, TokenKind::ERRORTOKEN);
  ASSERT_TRUE(t.error().has_value());
  EXPECT_EQ(t.error()->line, 1u);
  Tokenizer u("x");
  while (u.next().kind != TokenKind::ENDMARKER) {
  }
  EXPECT_EQ(u.next().kind, TokenKind::ENDMARKER);
}

TEST(Tokenizer, LinePositions) {
  EXPECT_EQ(line_position("ab\ncd\r\nef\rg", 0).line, 1u);
  EXPECT_EQ(line_position("ab\ncd\r\nef\rg", 4).line, 2u);
  EXPECT_EQ(line_position("ab\ncd\r\nef\rg", 4).column, 1u);
  EXPECT_EQ(line_position("ab\ncd\r\nef\rg", 7).line, 3u);
  EXPECT_EQ(line_position("ab\ncd\r\nef\rg", 10).line, 4u);
}

// Invariants over every fixture: tokens are ordered, inside the source, and the stream
// ends with exactly one ENDMARKER or ERRORTOKEN.
TEST(Tokenizer, InvariantsOnFixtures) {
  std::ifstream in(std::string(PELMORA_TEST_DATA_DIR) + "/imports/edge_cases.jsonl");
  ASSERT_TRUE(in.good());
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    const std::string code = nlohmann::json::parse(line)["code"];
    for (const bool trivia : {false, true}) {
      TokenizerOptions options;
      options.trivia = trivia;
      const TokenStream s = tokenize(code, options);
      ASSERT_FALSE(s.tokens.empty());
      std::uint32_t pos = 0;
      for (std::size_t i = 0; i < s.tokens.size(); ++i) {
        const Token& t = s.tokens[i];
        EXPECT_LE(t.range.start, t.range.end) << code;
        EXPECT_LE(t.range.end, code.size()) << code;
        EXPECT_GE(t.range.start, pos) << code;
        pos = t.range.start;
        const bool last = i + 1 == s.tokens.size();
        EXPECT_EQ(last, t.kind == TokenKind::ENDMARKER || t.kind == TokenKind::ERRORTOKEN) << code;
      }
      EXPECT_EQ(s.error.has_value(), s.tokens.back().kind == TokenKind::ERRORTOKEN);
    }
    ++count;
  }
  EXPECT_GT(count, 300);
}

}  // namespace
}  // namespace pelmora
