// Pattern rules of the Python 3.13 grammar (the case clauses of match statements).
#include "python/grammar_parser.h"

namespace pelmora::grammar_detail {

using K = TokenKind;
using KW = Keyword;

namespace {

bool starts_pattern(const Token& t) {
  switch (t.kind) {
    case K::NAME:
      return !is_reserved_keyword(t.keyword) || t.keyword == KW::kNone ||
             t.keyword == KW::kTrue || t.keyword == KW::kFalse;
    case K::STAR: case K::NUMBER: case K::MINUS: case K::STRING: case K::FSTRING_START:
    case K::LPAR: case K::LSQB: case K::LBRACE:
      return true;
    default:
      return false;
  }
}

int deeper(int a, int b) { return a > b ? a : b; }

bool is_imaginary(std::string_view number) {
  return !number.empty() && (number.back() == 'j' || number.back() == 'J');
}

}  // namespace

// patterns: open_sequence_pattern | pattern
// open_sequence_pattern: maybe_star_pattern ',' maybe_sequence_pattern?
// Each pattern rule sets `d` to the depth of its pattern node.
bool GrammarParser::patterns(int& d) {
  const bool star = at(K::STAR);
  if (!maybe_star_pattern(d)) return false;
  if (!at(K::COMMA)) return star ? fail() : true;
  advance();
  if (starts_pattern(tok()) && !maybe_sequence_pattern(K::COLON, d)) return false;
  d += 1;  // MatchSequence
  return true;
}

// maybe_sequence_pattern: ','.maybe_star_pattern+ ','?
// (stops before `close`, or before a token that cannot start a pattern)
// Raises `d` to the depth of the deepest element.
bool GrammarParser::maybe_sequence_pattern(K close, int& d) {
  for (;;) {
    int pd = 0;
    if (!maybe_star_pattern(pd)) return false;
    d = deeper(d, pd);
    if (!at(K::COMMA)) return true;
    advance();
    if (at(close) || !starts_pattern(tok())) return true;
  }
}

// maybe_star_pattern: star_pattern | pattern
// star_pattern: '*' pattern_capture_target | '*' wildcard_pattern
bool GrammarParser::maybe_star_pattern(int& d) {
  if (!at(K::STAR)) return pattern(d);
  d = 1;
  advance();
  if (at_keyword(KW::kUnderscore)) {
    advance();
    return true;
  }
  return pattern_capture_target();
}

// pattern: as_pattern | or_pattern
// as_pattern: or_pattern 'as' pattern_capture_target
bool GrammarParser::pattern(int& d) {
  Level level(*this, 3);
  if (level.overflow()) return false;
  if (!or_pattern(d)) return false;
  if (!at_keyword(KW::kAs)) return true;
  advance();
  d += 1;  // MatchAs
  return pattern_capture_target();
}

// or_pattern: '|'.closed_pattern+
bool GrammarParser::or_pattern(int& d) {
  bool alternatives = false;
  d = 0;
  for (;;) {
    int pd = 0;
    if (!closed_pattern(pd)) return false;
    d = deeper(d, pd);
    if (!at(K::VBAR)) break;
    alternatives = true;
    advance();
  }
  if (alternatives) d += 1;  // MatchOr
  return true;
}

// pattern_capture_target: !"_" NAME !('.' | '(' | '=')
bool GrammarParser::pattern_capture_target() {
  if (!at_name() || at_keyword(KW::kUnderscore)) return fail();
  advance();
  if (at(K::DOT) || at(K::LPAR) || at(K::EQUAL)) return fail();
  return true;
}

// name_or_attr: attr | NAME        attr: name_or_attr '.' NAME
// Sets `d` to the depth of the Name or Attribute expression.
bool GrammarParser::name_or_attr(bool& dotted, int& d) {
  dotted = false;
  if (!eat_name()) return false;
  d = 1;
  while (at(K::DOT)) {
    advance();
    if (!eat_name()) return false;
    dotted = true;
    ++d;
  }
  return true;
}

// signed_number !('+' | '-') | complex_number
// signed_number: NUMBER | '-' NUMBER
// complex_number: signed_real_number ('+' | '-') imaginary_number
// signed_real_number: real_number | '-' real_number
// Sets `d` to the depth of the literal's expression.
bool GrammarParser::literal_pattern_number(int& d) {
  d = 1;
  if (at(K::MINUS)) {
    advance();
    d = 2;
  }
  if (!at(K::NUMBER)) return fail();
  const Token& real = tok();
  if (!number(real)) return false;
  advance();
  if (!at(K::PLUS) && !at(K::MINUS)) return true;
  if (is_imaginary(text(real))) {
    return raise_error("real number required in complex literal", real.range.start);
  }
  advance();
  if (!at(K::NUMBER)) return fail();
  const Token& imag = tok();
  if (!number(imag)) return false;
  if (!is_imaginary(text(imag))) {
    return raise_error("imaginary number required in complex literal", imag.range.start);
  }
  advance();
  d += 1;
  return true;
}

// closed_pattern:
//     | literal_pattern | capture_pattern | wildcard_pattern | value_pattern
//     | group_pattern | sequence_pattern | mapping_pattern | class_pattern
// literal_pattern: signed_number !('+' | '-') | complex_number | strings | 'None' | 'True' | 'False'
// capture_pattern: pattern_capture_target       wildcard_pattern: "_"
// value_pattern: attr !('.' | '(' | '=')
// group_pattern: '(' pattern ')'
// sequence_pattern: '[' maybe_sequence_pattern? ']' | '(' open_sequence_pattern? ')'
// class_pattern: name_or_attr '(' ... ')'
bool GrammarParser::closed_pattern(int& d) {
  const Token& t = tok();
  d = 1;
  switch (t.kind) {
    case K::NUMBER:
    case K::MINUS:
      if (!literal_pattern_number(d)) return false;
      d += 1;  // MatchValue
      return true;
    case K::STRING:
    case K::FSTRING_START:
      if (!strings(d)) return false;
      d += 1;
      return true;
    case K::NAME: {
      if (t.keyword == KW::kNone || t.keyword == KW::kTrue || t.keyword == KW::kFalse) {
        advance();
        return true;
      }
      if (t.keyword == KW::kUnderscore) {
        advance();  // the wildcard wins over a class or value pattern named _
        return true;
      }
      bool dotted = false;
      if (!name_or_attr(dotted, d)) return false;
      if (at(K::LPAR)) {
        int args = 0;
        if (!class_pattern_args(args)) return false;
        d = 1 + deeper(d, args);
        return true;
      }
      if (at(K::EQUAL)) return fail();
      d = dotted ? d + 1 : 1;  // MatchValue over the attribute, or MatchAs
      return true;
    }
    case K::LPAR: {
      Level level(*this, 2);
      if (level.overflow()) return false;
      advance();
      if (at(K::RPAR)) {
        advance();
        return true;
      }
      const bool star = at(K::STAR);
      if (!maybe_star_pattern(d)) return false;
      if (at(K::COMMA)) {
        advance();
        if (!at(K::RPAR) && !maybe_sequence_pattern(K::RPAR, d)) return false;
        d += 1;
      } else if (star) {
        return fail();
      }
      return eat(K::RPAR);
    }
    case K::LSQB: {
      Level level(*this, 2);
      if (level.overflow()) return false;
      advance();
      int elements = 0;
      if (!at(K::RSQB) && !maybe_sequence_pattern(K::RSQB, elements)) return false;
      d = 1 + elements;
      return eat(K::RSQB);
    }
    case K::LBRACE:
      return mapping_pattern(d);
    default:
      return fail();
  }
}

// class_pattern:
//     | name_or_attr '(' ')'
//     | name_or_attr '(' positional_patterns ','? ')'
//     | name_or_attr '(' keyword_patterns ','? ')'
//     | name_or_attr '(' positional_patterns ',' keyword_patterns ','? ')'
// keyword_pattern: NAME '=' pattern
// Sets `d` to the depth of the deepest argument pattern.
bool GrammarParser::class_pattern_args(int& d) {
  Level level(*this, 2);
  if (level.overflow()) return false;
  advance();
  bool keywords = false;
  while (!at(K::RPAR)) {
    if (at_name() && peek(1).kind == K::EQUAL) {
      advance();
      advance();
      keywords = true;
    } else if (keywords) {
      return fail();
    }
    int pd = 0;
    if (!pattern(pd)) return false;
    d = deeper(d, pd);
    if (!at(K::COMMA)) break;
    advance();
  }
  return eat(K::RPAR);
}

// mapping_pattern:
//     | '{' '}'
//     | '{' double_star_pattern ','? '}'
//     | '{' items_pattern ',' double_star_pattern ','? '}'
//     | '{' items_pattern ','? '}'
// key_value_pattern: (literal_expr | attr) ':' pattern
// double_star_pattern: '**' pattern_capture_target
bool GrammarParser::mapping_pattern(int& d) {
  Level level(*this, 2);
  if (level.overflow()) return false;
  advance();
  int inner = 0;
  d = 1;
  while (!at(K::RBRACE)) {
    if (at(K::DOUBLESTAR)) {
      advance();
      if (!pattern_capture_target()) return false;
      if (at(K::COMMA)) advance();
      d = 1 + inner;
      return eat(K::RBRACE);
    }
    const Token& t = tok();
    int kd = 1;
    switch (t.kind) {
      case K::NUMBER:
      case K::MINUS:
        if (!literal_pattern_number(kd)) return false;
        break;
      case K::STRING:
      case K::FSTRING_START:
        if (!strings(kd)) return false;
        break;
      case K::NAME:
        if (t.keyword == KW::kNone || t.keyword == KW::kTrue || t.keyword == KW::kFalse) {
          advance();
        } else {
          bool dotted = false;
          if (!name_or_attr(dotted, kd)) return false;
          if (!dotted) return fail();
        }
        break;
      default:
        return fail();
    }
    inner = deeper(inner, kd);
    if (!eat(K::COLON)) return false;
    int pd = 0;
    if (!pattern(pd)) return false;
    inner = deeper(inner, pd);
    if (!at(K::COMMA)) break;
    advance();
  }
  d = 1 + inner;
  return eat(K::RBRACE);
}

}  // namespace pelmora::grammar_detail
