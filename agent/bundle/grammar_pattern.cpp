// Pattern rules of the Python 3.13 grammar (the case clauses of match statements).
#include "agent/bundle/grammar_parser.h"

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

bool is_imaginary(std::string_view number) {
  return !number.empty() && (number.back() == 'j' || number.back() == 'J');
}

}  // namespace

// patterns: open_sequence_pattern | pattern
// open_sequence_pattern: maybe_star_pattern ',' maybe_sequence_pattern?
bool GrammarParser::patterns() {
  const bool star = at(K::STAR);
  if (!maybe_star_pattern()) return false;
  if (!at(K::COMMA)) return star ? fail() : true;
  advance();
  if (!starts_pattern(tok())) return true;
  return maybe_sequence_pattern(K::COLON);
}

// maybe_sequence_pattern: ','.maybe_star_pattern+ ','?
// (stops before `close`, or before a token that cannot start a pattern)
bool GrammarParser::maybe_sequence_pattern(K close) {
  for (;;) {
    if (!maybe_star_pattern()) return false;
    if (!at(K::COMMA)) return true;
    advance();
    if (at(close) || !starts_pattern(tok())) return true;
  }
}

// maybe_star_pattern: star_pattern | pattern
// star_pattern: '*' pattern_capture_target | '*' wildcard_pattern
bool GrammarParser::maybe_star_pattern() {
  if (!at(K::STAR)) return pattern();
  advance();
  if (at_keyword(KW::kUnderscore)) {
    advance();
    return true;
  }
  return pattern_capture_target();
}

// pattern: as_pattern | or_pattern
// as_pattern: or_pattern 'as' pattern_capture_target
bool GrammarParser::pattern() {
  Level level(*this, 3);
  if (level.overflow()) return false;
  if (!or_pattern()) return false;
  if (!at_keyword(KW::kAs)) return true;
  advance();
  return pattern_capture_target();
}

// or_pattern: '|'.closed_pattern+
bool GrammarParser::or_pattern() {
  for (;;) {
    if (!closed_pattern()) return false;
    if (!at(K::VBAR)) return true;
    advance();
  }
}

// pattern_capture_target: !"_" NAME !('.' | '(' | '=')
bool GrammarParser::pattern_capture_target() {
  if (!at_name() || at_keyword(KW::kUnderscore)) return fail();
  advance();
  if (at(K::DOT) || at(K::LPAR) || at(K::EQUAL)) return fail();
  return true;
}

// name_or_attr: attr | NAME        attr: name_or_attr '.' NAME
bool GrammarParser::name_or_attr(bool& dotted) {
  dotted = false;
  if (!eat_name()) return false;
  while (at(K::DOT)) {
    advance();
    if (!eat_name()) return false;
    dotted = true;
  }
  return true;
}

// signed_number !('+' | '-') | complex_number
// signed_number: NUMBER | '-' NUMBER
// complex_number: signed_real_number ('+' | '-') imaginary_number
// signed_real_number: real_number | '-' real_number
bool GrammarParser::literal_pattern_number() {
  if (at(K::MINUS)) advance();
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
bool GrammarParser::closed_pattern() {
  const Token& t = tok();
  switch (t.kind) {
    case K::NUMBER:
    case K::MINUS:
      return literal_pattern_number();
    case K::STRING:
    case K::FSTRING_START:
      return strings();
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
      if (!name_or_attr(dotted)) return false;
      if (at(K::LPAR)) return class_pattern_args();
      if (at(K::EQUAL)) return fail();
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
      if (!maybe_star_pattern()) return false;
      if (at(K::COMMA)) {
        advance();
        if (!at(K::RPAR) && !maybe_sequence_pattern(K::RPAR)) return false;
      } else if (star) {
        return fail();
      }
      return eat(K::RPAR);
    }
    case K::LSQB: {
      Level level(*this, 2);
      if (level.overflow()) return false;
      advance();
      if (!at(K::RSQB) && !maybe_sequence_pattern(K::RSQB)) return false;
      return eat(K::RSQB);
    }
    case K::LBRACE:
      return mapping_pattern();
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
bool GrammarParser::class_pattern_args() {
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
    if (!pattern()) return false;
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
bool GrammarParser::mapping_pattern() {
  Level level(*this, 2);
  if (level.overflow()) return false;
  advance();
  while (!at(K::RBRACE)) {
    if (at(K::DOUBLESTAR)) {
      advance();
      if (!pattern_capture_target()) return false;
      if (at(K::COMMA)) advance();
      return eat(K::RBRACE);
    }
    const Token& t = tok();
    switch (t.kind) {
      case K::NUMBER:
      case K::MINUS:
        if (!literal_pattern_number()) return false;
        break;
      case K::STRING:
      case K::FSTRING_START:
        if (!strings()) return false;
        break;
      case K::NAME:
        if (t.keyword == KW::kNone || t.keyword == KW::kTrue || t.keyword == KW::kFalse) {
          advance();
        } else {
          bool dotted = false;
          if (!name_or_attr(dotted)) return false;
          if (!dotted) return fail();
        }
        break;
      default:
        return fail();
    }
    if (!eat(K::COLON)) return false;
    if (!pattern()) return false;
    if (!at(K::COMMA)) break;
    advance();
  }
  return eat(K::RBRACE);
}

}  // namespace pelmora::grammar_detail
