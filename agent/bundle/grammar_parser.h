#pragma once
// Internal to the grammar recognizer (grammar*.cpp): the recognizer class. Each member
// function recognizes the rule of CPython 3.13's Grammar/python.gram that it is named after
// and quotes it; the `invalid_*` rules, which only shape CPython's messages, have no
// counterpart.
//
// Conventions. A rule function starts at the current token; on success it returns true with
// the position after what it recognized, on failure it returns false and the caller either
// fails in turn or resets the position and tries its next alternative (the few places where
// the grammar needs that are marked "backtrack"). Errors that CPython raises from a rule's
// action rather than by failing to match (bad escapes, an f-string conversion, the parser's
// stack limit, ...) are sticky: `raise_error` records the first and every later rule fails,
// whatever the alternatives.
//
// Instead of a tree, expression rules describe what they recognized in an `Expr`, enough to
// decide whether it is a valid assignment, deletion or annotation target.

#include <cassert>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/bundle/grammar.h"
#include "agent/bundle/tokenizer.h"

namespace pelmora::grammar_detail {

enum class ExprKind : std::uint8_t {
  kName,
  kAttribute,
  kSubscript,
  kStarred,
  kTuple,
  kList,
  kNamedExpr,
  kYield,
  kOther,
};

struct Expr {
  ExprKind kind = ExprKind::kOther;
  bool parenthesized = false;
  // Valid as star_target (names, attributes, subscripts; a starred target; tuples and lists
  // of star targets).
  bool star_target = false;
  // Valid as del_target (the same without starred elements).
  bool del_target = false;

  // Valid as single_target: a name, attribute or subscript, in parentheses or not.
  bool single_target() const {
    return kind == ExprKind::kName || kind == ExprKind::kAttribute ||
           kind == ExprKind::kSubscript;
  }
  static Expr of(ExprKind k) {
    Expr e;
    e.kind = k;
    e.star_target = e.del_target = e.single_target();
    return e;
  }
};

// CPython's parser stack limit (MAXSTACK in Parser/parser.c).
inline constexpr int kMaxStack = 6000;

class GrammarParser {
 public:
  GrammarParser(std::string_view source, const std::vector<Token>& tokens);
  SyntaxVerdict run();

 private:
  friend class Level;

  // --- tokens ---
  const Token& tok() const { return _tokens[_pos]; }
  const Token& peek(size_t n) const {
    const size_t i = _pos + n;
    return i < _tokens.size() ? _tokens[i] : _tokens.back();
  }
  bool at(TokenKind k) const { return _tokens[_pos].kind == k; }
  bool at_keyword(Keyword k) const {
    const Token& t = _tokens[_pos];
    return t.kind == TokenKind::NAME && t.keyword == k;
  }
  // A NAME token that is not a reserved word (soft keywords are names).
  static bool is_name(const Token& t) {
    return t.kind == TokenKind::NAME && !is_reserved_keyword(t.keyword);
  }
  bool at_name() const { return is_name(_tokens[_pos]); }
  void advance() {
    assert(_pos + 1 < _tokens.size() || !at(TokenKind::ENDMARKER));
    if (_pos + 1 < _tokens.size()) ++_pos;
  }
  bool eat(TokenKind k) {
    if (!at(k)) return fail();
    advance();
    return true;
  }
  bool eat_keyword(Keyword k) {
    if (!at_keyword(k)) return fail();
    advance();
    return true;
  }
  bool eat_name() {
    if (!at_name()) return fail();
    advance();
    return true;
  }
  std::string_view text(const Token& t) const { return t.text(_source); }

  // --- failure ---
  bool fail() {
    if (_pos > _furthest) _furthest = _pos;
    return false;
  }
  // A sticky error raised by a rule's action; always returns false.
  bool raise_error(std::string message, std::uint32_t offset);
  bool failed_hard() const { return _error_set; }
  // Resets to `pos` for the next alternative; false when a sticky error forbids it.
  bool backtrack(size_t pos) {
    _pos = pos;
    return !_error_set;
  }

  // --- statements (grammar_stmt.cpp) ---
  bool file();
  bool statements(bool in_block);
  bool statement();
  bool simple_stmts();
  bool simple_stmt();
  bool assignment_or_expression_stmt();
  bool compound_stmt();
  bool return_stmt();
  bool raise_stmt();
  bool global_stmt();
  bool del_stmt();
  bool assert_stmt();
  bool import_name();
  bool import_from();
  bool import_from_as_names();
  bool dotted_as_names();
  bool dotted_name();
  bool type_alias();
  bool block();
  bool decorators();
  bool class_def_raw();
  bool function_def_raw();
  bool params(bool lambda);
  bool param(bool lambda, bool star_annotation);
  bool kwds(bool lambda);
  bool if_stmt();
  bool else_block();
  bool while_stmt();
  bool for_stmt();
  bool with_stmt();
  bool with_item();
  bool try_stmt();
  bool except_block(bool& star);
  bool match_stmt(bool& committed);
  bool subject_expr();
  bool case_block();
  bool type_params();
  bool type_param();

  // --- expressions (grammar_expr.cpp) ---
  bool expressions();
  bool expression(Expr& e);
  bool yield_expr(Expr& e);
  bool star_expressions(Expr& e);
  bool star_expression(Expr& e);
  bool star_named_expressions(Expr& e, TokenKind close);
  bool star_named_expression(Expr& e);
  bool named_expression(Expr& e);
  bool disjunction(Expr& e);
  bool conjunction(Expr& e);
  bool inversion(Expr& e);
  bool comparison(Expr& e);
  bool bitwise_or(Expr& e);
  bool bitwise_xor(Expr& e);
  bool bitwise_and(Expr& e);
  bool shift_expr(Expr& e);
  bool sum(Expr& e);
  bool term(Expr& e);
  bool factor(Expr& e);
  bool power(Expr& e);
  bool await_primary(Expr& e);
  bool primary(Expr& e);
  bool slices();
  bool slice_or_starred(bool& plain_slice);
  bool atom(Expr& e);
  bool paren_atom(Expr& e);
  bool list_or_listcomp(Expr& e);
  bool brace_atom(Expr& e);
  bool lambdef(Expr& e);
  bool for_if_clauses();
  bool arguments(bool allow_genexp);
  bool star_targets(Expr& e);
  bool star_target(Expr& e);
  bool strings();
  bool fstring(bool& is_bytes);
  bool fstring_replacement_field();
  bool number(const Token& t);
  bool annotated_rhs(Expr& e);

  // --- patterns (grammar_pattern.cpp) ---
  bool patterns();
  bool pattern();
  bool or_pattern();
  bool closed_pattern();
  bool maybe_star_pattern();
  bool maybe_sequence_pattern(TokenKind close);
  bool literal_pattern_number();
  bool mapping_pattern();
  bool class_pattern_args();
  bool name_or_attr(bool& dotted);
  bool pattern_capture_target();

  std::string_view _source;
  const std::vector<Token>& _tokens;
  size_t _pos = 0;
  size_t _furthest = 0;
  int _level = 0;
  bool _fstring_raw = false;  // the f-string whose format spec is being read is raw
  bool _error_set = false;
  std::string _error_message;
  std::uint32_t _error_offset = 0;
};

// One step deeper in CPython's parser stack: `weight` levels, as CPython's generated rule
// functions count them for the construct.
class Level {
 public:
  Level(GrammarParser& p, int weight) : _p(p), _weight(weight) { _p._level += weight; }
  ~Level() { _p._level -= _weight; }
  Level(const Level&) = delete;
  Level& operator=(const Level&) = delete;
  // True (after raising the error) when the limit is passed.
  bool overflow() {
    if (_p._level <= kMaxStack) return false;
    _p.raise_error("too many nested expressions: parser stack overflow",
                   _p.tok().range.start);
    return true;
  }

 private:
  GrammarParser& _p;
  int _weight;
};

}  // namespace pelmora::grammar_detail
