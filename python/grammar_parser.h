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
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/grammar.h"
#include "python/tokenizer.h"

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
  // Depth of the syntax tree CPython builds for it (a name or a constant is 1).
  int depth = 1;

  // Valid as single_target: a name, attribute or subscript, in parentheses or not.
  bool single_target() const {
    return kind == ExprKind::kName || kind == ExprKind::kAttribute ||
           kind == ExprKind::kSubscript;
  }
  static Expr of(ExprKind k, int depth = 1) {
    Expr e;
    e.kind = k;
    e.star_target = e.del_target = e.single_target();
    e.depth = depth;
    return e;
  }
};

// CPython's parser stack limit (MAXSTACK in Parser/parser.c).
inline constexpr int kMaxStack = 6000;

// The deepest syntax tree that ast.parse turns into Python objects (its C recursion limit
// of 10000 less the calls that lead there), counted in nodes from the Module down.
inline constexpr int kMaxAstDepth = 9997;

class GrammarParser {
 public:
  GrammarParser(std::string_view source, const std::vector<Token>& tokens);
  SyntaxVerdict run();

 private:
  friend class Level;
  friend class Bracket;
  friend class OperandLevel;

  // --- tokens ---
  const Token& tok() const { return _tokens[_pos]; }
  const Token& peek(size_t n) const {
    const size_t i = _pos + n;
    return i < _tokens.size() ? _tokens[i] : _tokens.back();
  }
  bool at(TokenKind k) const { return _tokens[_pos].kind == k; }
  bool at_comma() const { return at(TokenKind::COMMA); }
  bool at_from() const { return at_keyword(Keyword::kFrom); }
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
  // Each statement rule also sets `d` to the depth of the syntax tree it stands for.
  bool file();
  bool statements(bool in_block, int& d);
  bool statement(int& d);
  bool simple_stmts(int& d);
  bool simple_stmt(int& d);
  bool assignment_or_expression_stmt(int& d);
  bool compound_stmt(int& d);
  bool return_stmt(int& d);
  bool raise_stmt(int& d);
  bool global_stmt(int& d);
  bool del_stmt(int& d);
  bool assert_stmt(int& d);
  bool import_name(int& d);
  bool import_from(int& d);
  bool import_from_as_names();
  bool dotted_as_names();
  bool dotted_name();
  bool type_alias(int& d);
  bool block(int& d, int levels);
  bool decorators(int& d);
  bool class_def_raw(int& d);
  bool function_def_raw(int& d);
  bool params(bool lambda, int& d);
  bool param(bool lambda, bool star_annotation, int& d);
  bool kwds(bool lambda, int& d);
  bool if_stmt(int& d);
  bool else_block(int& d);
  bool while_stmt(int& d);
  bool for_stmt(int& d);
  bool with_stmt(int& d);
  bool with_item(int& d);
  bool try_stmt(int& d);
  bool except_block(bool& star, int& d);
  bool match_stmt(bool& committed, int& d);
  bool subject_expr(int& d);
  bool case_block(int& d);
  bool type_params(int& d);
  bool type_param(int& d);

  // --- expressions (grammar_expr.cpp) ---
  bool expression(Expr& e);
  bool yield_expr(Expr& e);
  bool star_expressions(Expr& e);
  bool star_expression(Expr& e);
  bool star_named_expressions(Expr& e, TokenKind close, int levels);
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
  bool slices(int& d);
  bool slice_or_starred(int& d);
  bool atom(Expr& e);
  bool paren_atom(Expr& e);
  bool list_or_listcomp(Expr& e);
  bool brace_atom(Expr& e);
  bool lambdef(Expr& e);
  bool for_if_clauses(int& d);
  bool arguments(bool allow_genexp, int& d);
  bool star_targets(Expr& e);
  bool star_target(Expr& e);
  bool strings(int& d);
  bool fstring(int& d);
  bool fstring_replacement_field(int& d);
  bool number(const Token& t);
  bool probe_levels(int extra);
  bool probe_empty_bracket();
  bool comprehension_rest(int depth, TokenKind close, Expr& e);
  bool assigned_value(int& d, bool as_operand);
  bool annotated_rhs(Expr& e);
  // The shapes shared by several rules above (defined in grammar_expr.cpp).
  using ExprRule = bool (GrammarParser::*)(Expr&);
  template <ExprRule operand>
  bool bool_operation(Expr& e, Keyword op);
  template <ExprRule operand, typename IsOperator>
  bool binary_operation(Expr& e, IsOperator is_op);
  template <ExprRule operand, typename IsOperator>
  bool prefix_operation(Expr& e, IsOperator is_op);
  bool expression_and_optional_one(int& d, bool (GrammarParser::*before_second)() const);

  // --- patterns (grammar_pattern.cpp) ---
  bool patterns(int& d);
  bool pattern(int& d);
  bool or_pattern(int& d);
  bool closed_pattern(int& d);
  bool maybe_star_pattern(int& d);
  bool maybe_sequence_pattern(TokenKind close, int& d);
  bool literal_pattern_number(int& d);
  bool mapping_pattern(int& d);
  bool class_pattern_args(int& d);
  bool name_or_attr(bool& dotted, int& d);
  bool pattern_capture_target();

  // A bracket one level deeper: CPython spends `first` stack levels on the outermost one
  // reached directly, and `nested` on one inside another or below an operator's operand
  // (a unary operator, 'not', a conditional, '**', a lambda).
  int bracket_levels(int first, int nested) const {
    return _brackets == 0 && _operands == 0 ? first : nested;
  }

  std::string_view _source;
  const std::vector<Token>& _tokens;
  size_t _pos = 0;
  size_t _furthest = 0;
  int _level = 0;
  int _brackets = 0;  // brackets and replacement fields around the current token
  int _operands = 0;  // operator operands entered since the innermost of them opened
  bool _outer_group = false;  // the outermost of them is a parenthesized group
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
  // `weight` levels more, up to the end of the scope.
  void deepen(int weight) {
    _p._level += weight;
    _weight += weight;
  }
  Level(const Level&) = delete;
  Level& operator=(const Level&) = delete;
  // True (after raising the error) when the limit is passed.
  bool overflow() {
    if (_p._level <= kMaxStack) return false;
    _p.raise_error("Parser stack overflowed - Python source too complex to parse",
                   _p.tok().range.start);
    return true;
  }

 private:
  GrammarParser& _p;
  int _weight;
};

// Whether `extra` more levels than the current construct's fit in CPython's parser stack,
// for the rule calls below an atom that hold no nested construct. Raises the error when not.
inline bool GrammarParser::probe_levels(int extra) {
  Level level(*this, extra);
  return !level.overflow();
}

// One step deeper into an operator's operand: a Level that also makes the brackets below it
// cost CPython their nested price.
class OperandLevel : public Level {
 public:
  OperandLevel(GrammarParser& p, int weight) : Level(p, weight), _q(p) { ++_q._operands; }
  ~OperandLevel() { --_q._operands; }

 private:
  GrammarParser& _q;
};

// Inside one more bracket (or f-string replacement field) for the rest of the scope.
class Bracket {
 public:
  explicit Bracket(GrammarParser& p, bool group = false)
      : _p(p), _saved_group(p._outer_group), _saved_operands(p._operands) {
    if (_p._brackets == 0) _p._outer_group = group && _p._operands == 0;
    ++_p._brackets;
    _p._operands = 0;
  }
  ~Bracket() {
    --_p._brackets;
    _p._outer_group = _saved_group;
    _p._operands = _saved_operands;
  }
  Bracket(const Bracket&) = delete;
  Bracket& operator=(const Bracket&) = delete;

 private:
  GrammarParser& _p;
  bool _saved_group;
  int _saved_operands;
};

}  // namespace pelmora::grammar_detail
