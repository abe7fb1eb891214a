// Expression rules of the Python 3.13 grammar, with the literal checks of their actions.
#include "python/grammar_parser.h"
#include "python/string_literals.h"

namespace pelmora::grammar_detail {

using K = TokenKind;
using KW = Keyword;

namespace {

// Parser stack levels that CPython spends per construct (see kFileLevels).
constexpr int kGroupLevels = 9;
constexpr int kNestedGroupLevels = 28;
constexpr int kGroupInGroupLevels = 1;
constexpr int kDisplayLevels = 10;
constexpr int kNestedDisplayLevels = 29;
constexpr int kCallLevels = 5;
constexpr int kNestedCallLevels = 24;
constexpr int kReplacementFieldLevels = 14;
constexpr int kNestedReplacementFieldLevels = 33;
constexpr int kTupleRestLevels = 2;
// An element after a ',' is read one loop deeper than the first: in a list, set or dict
// display, in a parenthesized tuple, in a call's arguments, in a subscript's slices. After a
// trailing ',' the attempt at one more element fails past the atom's lookahead.
constexpr int kDisplayRestLevels = 1;
constexpr int kParenthesizedTupleRestLevels = 2;
constexpr int kArgumentRestLevels = 4;
constexpr int kSliceRestLevels = 3;
// Below an atom: a number or `...` is tried after the lookahead &(STRING|FSTRING_START),
// itself one rule call deeper; a string literal is read by strings, its loop, the choice
// and string (4 levels); an f-string by strings, its loop, the choice, fstring, the loop of
// its middle parts, fstring_middle and fstring_replacement_field (7 levels).
constexpr int kPastLookaheadLevels = 1;
constexpr int kStringLevels = 4;
constexpr int kFStringLevels = 7;

int deeper(int a, int b) { return a > b ? a : b; }

// CPython refuses to convert decimal integer literals longer than this (sys.int_info).
constexpr size_t kMaxIntDigits = 4300;

// Whether `t` can begin a star_expression (and so an expression after a ',').
bool starts_expression(const Token& t) {
  switch (t.kind) {
    case K::NAME:
      switch (t.keyword) {
        case KW::kNone: case KW::kTrue: case KW::kFalse: case KW::kLambda: case KW::kNot:
        case KW::kAwait:
          return true;
        default:
          return !is_reserved_keyword(t.keyword);
      }
    case K::NUMBER: case K::STRING: case K::FSTRING_START: case K::LPAR: case K::LSQB:
    case K::LBRACE: case K::MINUS: case K::PLUS: case K::TILDE: case K::STAR:
    case K::ELLIPSIS:
      return true;
    default:
      return false;
  }
}

bool is_comparison_operator(const Token& t, const Token& next) {
  switch (t.kind) {
    case K::EQEQUAL: case K::NOTEQUAL: case K::LESSEQUAL: case K::LESS:
    case K::GREATEREQUAL: case K::GREATER:
      return true;
    case K::NAME:
      if (t.keyword == KW::kIn || t.keyword == KW::kIs) return true;
      return t.keyword == KW::kNot && next.kind == K::NAME && next.keyword == KW::kIn;
    default:
      return false;
  }
}

// An empty tuple or list; add_element adds elements, done() closes it.
Expr tuple_of(ExprKind kind) {
  Expr e;
  e.kind = kind;
  e.star_target = e.del_target = true;
  e.depth = 0;
  return e;
}

// Adds an element to a sequence; the sequence's depth is its deepest element's until done().
void add_element(Expr& seq, const Expr& el) {
  seq.star_target = seq.star_target && el.star_target;
  seq.del_target = seq.del_target && el.del_target;
  seq.depth = deeper(seq.depth, el.depth);
}

Expr done(Expr seq) {
  seq.depth += 1;
  return seq;
}

// A node over children of the given depths.
Expr node(ExprKind kind, int child_depth) { return Expr::of(kind, 1 + child_depth); }

}  // namespace

// A bracket closed at once: CPython first tries to read an element there, which fails one
// level below where a name would have been read.
bool GrammarParser::probe_empty_bracket() { return probe_levels(kPastLookaheadLevels); }

// expression:
//     | disjunction 'if' disjunction 'else' expression
//     | disjunction
//     | lambdef
bool GrammarParser::expression(Expr& e) {
  if (at_keyword(KW::kLambda)) return lambdef(e);
  if (!disjunction(e)) return false;
  if (!at_keyword(KW::kIf)) return true;
  advance();
  Expr test;
  if (!disjunction(test)) return false;
  if (!eat_keyword(KW::kElse)) return false;
  // The condition is read at the depth of the body; only the alternative is one level down.
  OperandLevel level(*this, 1);
  if (level.overflow()) return false;
  Expr orelse;
  if (!expression(orelse)) return false;
  e = node(ExprKind::kOther, deeper(e.depth, deeper(test.depth, orelse.depth)));
  return true;
}

// yield_expr:
//     | 'yield' 'from' expression
//     | 'yield' [star_expressions]
bool GrammarParser::yield_expr(Expr& e) {
  advance();
  Expr value;
  value.depth = 0;
  if (at_keyword(KW::kFrom)) {
    advance();
    if (!expression(value)) return false;
  } else if (starts_expression(tok())) {
    if (!star_expressions(value)) return false;
  }
  e = node(ExprKind::kYield, value.depth);
  return true;
}

// star_expressions:
//     | star_expression (',' star_expression )+ [',']
//     | star_expression ','
//     | star_expression
bool GrammarParser::star_expressions(Expr& e) {
  if (!star_expression(e)) return false;
  if (!at(K::COMMA)) return true;
  Level level(*this, kTupleRestLevels);
  if (level.overflow()) return false;
  Expr seq = tuple_of(ExprKind::kTuple);
  add_element(seq, e);
  while (at(K::COMMA)) {
    advance();
    if (!starts_expression(tok())) break;
    Expr el;
    if (!star_expression(el)) return false;
    add_element(seq, el);
  }
  e = done(seq);
  return true;
}

// star_expression: '*' bitwise_or | expression
bool GrammarParser::star_expression(Expr& e) {
  if (!at(K::STAR)) return expression(e);
  advance();
  Expr inner;
  if (!bitwise_or(inner)) return false;
  e = node(ExprKind::kStarred, inner.depth);
  e.star_target = inner.star_target && inner.kind != ExprKind::kStarred;
  e.del_target = false;
  return true;
}

// star_named_expressions: ','.star_named_expression+ [',']
// Continues the elements of a display after its first element and a ',' (`seq` collects
// them), each `levels` deeper than the first; stops before `close`.
bool GrammarParser::star_named_expressions(Expr& seq, K close, int levels) {
  Level level(*this, levels);
  if (level.overflow()) return false;
  for (;;) {
    if (at(close)) return probe_levels(kPastLookaheadLevels);
    Expr el;
    if (!star_named_expression(el)) return false;
    add_element(seq, el);
    if (!at(K::COMMA)) return true;
    advance();
  }
}

// star_named_expression: '*' bitwise_or | named_expression
bool GrammarParser::star_named_expression(Expr& e) {
  if (at(K::STAR)) return star_expression(e);
  return named_expression(e);
}

// named_expression:
//     | assignment_expression            (assignment_expression: NAME ':=' ~ expression)
//     | expression !':='
bool GrammarParser::named_expression(Expr& e) {
  if (at_name() && peek(1).kind == K::COLONEQUAL) {
    advance();
    advance();
    if (!expression(e)) return false;
    e = node(ExprKind::kNamedExpr, e.depth);
    return true;
  }
  if (!expression(e)) return false;
  return at(K::COLONEQUAL) ? fail() : true;
}

// operand (op operand)+ | operand, for the rules whose operators make one BoolOp node over
// all the operands ('or', 'and').
template <GrammarParser::ExprRule operand>
bool GrammarParser::bool_operation(Expr& e, Keyword op) {
  if (!(this->*operand)(e)) return false;
  if (!at_keyword(op)) return true;
  int d = e.depth;
  while (at_keyword(op)) {
    advance();
    if (!(this->*operand)(e)) return false;
    d = deeper(d, e.depth);
  }
  e = node(ExprKind::kOther, d);
  return true;
}

// rule op operand | operand, a left-recursive rule recognized as operand (op operand)*:
// each operator nests the tree one BinOp deeper.
template <GrammarParser::ExprRule operand, typename IsOperator>
bool GrammarParser::binary_operation(Expr& e, IsOperator is_op) {
  if (!(this->*operand)(e)) return false;
  while (is_op(tok().kind)) {
    advance();
    Expr rhs;
    if (!(this->*operand)(rhs)) return false;
    e = node(ExprKind::kOther, deeper(e.depth, rhs.depth));
  }
  return true;
}

// op rule | operand, for the prefix operators ('not', unary '+', '-', '~'): each one is a
// level of CPython's parser stack and nests the tree one node deeper. Read as a loop, so a
// long chain costs no native stack.
template <GrammarParser::ExprRule operand, typename IsOperator>
bool GrammarParser::prefix_operation(Expr& e, IsOperator is_op) {
  if (!is_op(tok())) return (this->*operand)(e);
  OperandLevel level(*this, 0);
  int count = 0;
  for (; is_op(tok()); ++count) {
    level.deepen(1);
    if (level.overflow()) return false;
    advance();
  }
  if (!(this->*operand)(e)) return false;
  e = node(ExprKind::kOther, e.depth + count - 1);
  return true;
}

// disjunction: conjunction ('or' conjunction )+ | conjunction
bool GrammarParser::disjunction(Expr& e) {
  return bool_operation<&GrammarParser::conjunction>(e, KW::kOr);
}

// conjunction: inversion ('and' inversion )+ | inversion
bool GrammarParser::conjunction(Expr& e) {
  return bool_operation<&GrammarParser::inversion>(e, KW::kAnd);
}

// inversion: 'not' inversion | comparison
bool GrammarParser::inversion(Expr& e) {
  return prefix_operation<&GrammarParser::comparison>(
      e, [](const Token& t) { return t.kind == K::NAME && t.keyword == KW::kNot; });
}

// comparison: bitwise_or compare_op_bitwise_or_pair+ | bitwise_or
// compare_op_bitwise_or_pair: ('==' | '!=' | '<=' | '<' | '>=' | '>' | 'not' 'in' | 'in'
//                              | 'is' 'not' | 'is') bitwise_or
bool GrammarParser::comparison(Expr& e) {
  if (!bitwise_or(e)) return false;
  bool any = false;
  int d = e.depth;
  while (is_comparison_operator(tok(), peek(1))) {
    const Token& op = tok();
    // '<>' is only an operator with "from __future__ import barry_as_FLUFL", which the
    // parser does not apply to the module that holds it.
    if (op.kind == K::NOTEQUAL && text(op) == "<>") return fail();
    const bool two = (op.keyword == KW::kNot) ||
                     (op.keyword == KW::kIs && peek(1).kind == K::NAME &&
                      peek(1).keyword == KW::kNot);
    advance();
    if (two) advance();
    if (!bitwise_or(e)) return false;
    d = deeper(d, e.depth);
    any = true;
  }
  if (any) e = node(ExprKind::kOther, d);
  return true;
}

// bitwise_or: bitwise_or '|' bitwise_xor | bitwise_xor
bool GrammarParser::bitwise_or(Expr& e) {
  return binary_operation<&GrammarParser::bitwise_xor>(e, [](K k) { return k == K::VBAR; });
}

// bitwise_xor: bitwise_xor '^' bitwise_and | bitwise_and
bool GrammarParser::bitwise_xor(Expr& e) {
  return binary_operation<&GrammarParser::bitwise_and>(e,
                                                       [](K k) { return k == K::CIRCUMFLEX; });
}

// bitwise_and: bitwise_and '&' shift_expr | shift_expr
bool GrammarParser::bitwise_and(Expr& e) {
  return binary_operation<&GrammarParser::shift_expr>(e, [](K k) { return k == K::AMPER; });
}

// shift_expr: shift_expr ('<<' | '>>') sum | sum
bool GrammarParser::shift_expr(Expr& e) {
  return binary_operation<&GrammarParser::sum>(
      e, [](K k) { return k == K::LEFTSHIFT || k == K::RIGHTSHIFT; });
}

// sum: sum ('+' | '-') term | term
bool GrammarParser::sum(Expr& e) {
  return binary_operation<&GrammarParser::term>(e,
                                                [](K k) { return k == K::PLUS || k == K::MINUS; });
}

// term: term ('*' | '/' | '//' | '%' | '@') factor | factor
bool GrammarParser::term(Expr& e) {
  return binary_operation<&GrammarParser::factor>(e, [](K k) {
    return k == K::STAR || k == K::SLASH || k == K::DOUBLESLASH || k == K::PERCENT ||
           k == K::AT;
  });
}

// factor: '+' factor | '-' factor | '~' factor | power
bool GrammarParser::factor(Expr& e) {
  return prefix_operation<&GrammarParser::power>(e, [](const Token& t) {
    return t.kind == K::PLUS || t.kind == K::MINUS || t.kind == K::TILDE;
  });
}

// power: await_primary '**' factor | await_primary
bool GrammarParser::power(Expr& e) {
  if (!await_primary(e)) return false;
  if (!at(K::DOUBLESTAR)) return true;
  OperandLevel level(*this, 2);
  if (level.overflow()) return false;
  advance();
  Expr exponent;
  if (!factor(exponent)) return false;
  e = node(ExprKind::kOther, deeper(e.depth, exponent.depth));
  return true;
}

// await_primary: 'await' primary | primary
bool GrammarParser::await_primary(Expr& e) {
  if (!at_keyword(KW::kAwait)) return primary(e);
  advance();
  if (!primary(e)) return false;
  e = node(ExprKind::kOther, e.depth);
  return true;
}

// primary:
//     | primary '.' NAME
//     | primary genexp
//     | primary '(' [arguments] ')'
//     | primary '[' slices ']'
//     | atom
bool GrammarParser::primary(Expr& e) {
  if (!atom(e)) return false;
  for (;;) {
    switch (tok().kind) {
      case K::DOT:
        advance();
        if (!eat_name()) return false;
        e = node(ExprKind::kAttribute, e.depth);
        continue;
      case K::LPAR: {
        Level level(*this, bracket_levels(kCallLevels, kNestedCallLevels));
        if (level.overflow()) return false;
        Bracket bracket(*this);
        advance();
        int args = 0;
        if (at(K::RPAR) ? !probe_empty_bracket() : !arguments(true, args)) return false;
        if (!eat(K::RPAR)) return false;
        e = node(ExprKind::kOther, deeper(e.depth, args));
        continue;
      }
      case K::LSQB: {
        Level level(*this, bracket_levels(kCallLevels, kNestedCallLevels));
        if (level.overflow()) return false;
        Bracket bracket(*this);
        advance();
        int slice = 0;
        if (!slices(slice)) return false;
        if (!eat(K::RSQB)) return false;
        e = node(ExprKind::kSubscript, deeper(e.depth, slice));
        continue;
      }
      default:
        return true;
    }
  }
}

// slices:
//     | slice !','
//     | ','.(slice | starred_expression)+ [',']
// Sets `d` to the depth of the subscript's slice node.
bool GrammarParser::slices(int& d) {
  int deepest = 0;
  std::optional<Level> rest;  // for the slices after the first
  for (;;) {
    int sd = 0;
    if (!slice_or_starred(sd)) return false;
    deepest = deeper(deepest, sd);
    if (!at(K::COMMA)) break;
    advance();
    if (!rest) {
      rest.emplace(*this, kSliceRestLevels);
      if (rest->overflow()) return false;
    }
    if (at(K::RSQB)) {
      if (!probe_levels(kPastLookaheadLevels)) return false;
      break;
    }
  }
  const bool tuple = rest.has_value();
  d = tuple ? 1 + deepest : deepest;
  return true;
}

// slice:
//     | [expression] ':' [expression] [':' [expression] ]
//     | named_expression
// starred_expression: '*' expression
// Sets `d` to the depth of the element's node (a Slice, a Starred or the expression).
bool GrammarParser::slice_or_starred(int& d) {
  Expr e;
  if (at(K::STAR)) {
    advance();
    if (!expression(e)) return false;
    d = 1 + e.depth;
    return true;
  }
  int parts = 0;
  if (!at(K::COLON)) {
    if (!named_expression(e)) return false;
    if (!at(K::COLON)) {
      d = e.depth;
      return true;
    }
    if (e.kind == ExprKind::kNamedExpr && !e.parenthesized) return fail();
    parts = e.depth;
  }
  advance();  // ':'
  if (starts_expression(tok()) && !at(K::STAR)) {
    if (!expression(e)) return false;
    parts = deeper(parts, e.depth);
  }
  if (at(K::COLON)) {
    advance();
    if (starts_expression(tok()) && !at(K::STAR)) {
      if (!expression(e)) return false;
      parts = deeper(parts, e.depth);
    }
  }
  d = 1 + parts;
  return true;
}

// atom:
//     | NAME | 'True' | 'False' | 'None'
//     | &(STRING|FSTRING_START) strings
//     | NUMBER
//     | &'(' (tuple | group | genexp)
//     | &'[' (list | listcomp)
//     | &'{' (dict | set | dictcomp | setcomp)
//     | '...'
bool GrammarParser::atom(Expr& e) {
  const Token& t = tok();
  switch (t.kind) {
    case K::NAME:
      if (!is_reserved_keyword(t.keyword)) {
        advance();
        e = Expr::of(ExprKind::kName);
        return true;
      }
      if (t.keyword == KW::kTrue || t.keyword == KW::kFalse || t.keyword == KW::kNone) {
        advance();
        e = Expr::of(ExprKind::kOther);
        return true;
      }
      return fail();
    case K::NUMBER:
      if (!probe_levels(kPastLookaheadLevels)) return false;
      if (!number(t)) return false;
      advance();
      e = Expr::of(ExprKind::kOther);
      return true;
    case K::STRING:
    case K::FSTRING_START: {
      int d = 1;
      if (!strings(d)) return false;
      e = Expr::of(ExprKind::kOther, d);
      return true;
    }
    case K::ELLIPSIS:
      if (!probe_levels(kPastLookaheadLevels)) return false;
      advance();
      e = Expr::of(ExprKind::kOther);
      return true;
    case K::LPAR:
      return paren_atom(e);
    case K::LSQB:
      return list_or_listcomp(e);
    case K::LBRACE:
      return brace_atom(e);
    default:
      return fail();
  }
}

// tuple: '(' [star_named_expression ',' [star_named_expressions] ] ')'
// group: '(' (yield_expr | named_expression) ')'
// genexp: '(' ( assignment_expression | expression !':=') for_if_clauses ')'
bool GrammarParser::paren_atom(Expr& e) {
  // A group directly inside the outermost group costs CPython almost nothing.
  const int levels = (_brackets == 1 && _outer_group && _operands == 0)
                         ? kGroupInGroupLevels
                         : bracket_levels(kGroupLevels, kNestedGroupLevels);
  Level level(*this, levels);
  if (level.overflow()) return false;
  Bracket bracket(*this, true);
  advance();
  if (at(K::RPAR)) {
    if (!probe_empty_bracket()) return false;
    advance();
    e = done(tuple_of(ExprKind::kTuple));
    e.parenthesized = true;
    return true;
  }
  if (at_keyword(KW::kYield)) {
    if (!yield_expr(e)) return false;
    if (!eat(K::RPAR)) return false;
    e.parenthesized = true;
    return true;
  }
  Expr first;
  if (!star_named_expression(first)) return false;
  if (at_keyword(KW::kFor) || at_keyword(KW::kAsync)) {
    return first.kind != ExprKind::kStarred ? comprehension_rest(first.depth, K::RPAR, e) : fail();
  }
  if (at(K::COMMA)) {
    Expr seq = tuple_of(ExprKind::kTuple);
    add_element(seq, first);
    advance();
    if (!star_named_expressions(seq, K::RPAR, kParenthesizedTupleRestLevels)) return false;
    if (!eat(K::RPAR)) return false;
    e = done(seq);
    e.parenthesized = true;
    return true;
  }
  if (first.kind == ExprKind::kStarred) return fail();
  if (!eat(K::RPAR)) return false;
  e = first;
  e.parenthesized = true;
  return true;
}

// for_if_clauses close: the rest of a comprehension whose element (or key and value) is
// `depth` deep.
bool GrammarParser::comprehension_rest(int depth, K close, Expr& e) {
  int clauses = 0;
  if (!for_if_clauses(clauses)) return false;
  if (!eat(close)) return false;
  e = node(ExprKind::kOther, deeper(depth, clauses));
  return true;
}

// list: '[' [star_named_expressions] ']'
// listcomp: '[' named_expression for_if_clauses ']'
bool GrammarParser::list_or_listcomp(Expr& e) {
  Level level(*this, bracket_levels(kDisplayLevels, kNestedDisplayLevels));
  if (level.overflow()) return false;
  Bracket bracket(*this);
  advance();
  Expr seq = tuple_of(ExprKind::kList);
  if (at(K::RSQB)) {
    if (!probe_empty_bracket()) return false;
    advance();
    e = done(seq);
    return true;
  }
  Expr first;
  if (!star_named_expression(first)) return false;
  if (at_keyword(KW::kFor) || at_keyword(KW::kAsync)) {
    return first.kind != ExprKind::kStarred ? comprehension_rest(first.depth, K::RSQB, e) : fail();
  }
  add_element(seq, first);
  if (at(K::COMMA)) {
    advance();
    if (!star_named_expressions(seq, K::RSQB, kDisplayRestLevels)) return false;
  }
  if (!eat(K::RSQB)) return false;
  e = done(seq);
  return true;
}

// dict: '{' [double_starred_kvpairs] '}'
// set: '{' star_named_expressions '}'
// dictcomp: '{' kvpair for_if_clauses '}'
// setcomp: '{' named_expression for_if_clauses '}'
// double_starred_kvpair: '**' bitwise_or | kvpair      kvpair: expression ':' expression
bool GrammarParser::brace_atom(Expr& e) {
  Level level(*this, bracket_levels(kDisplayLevels, kNestedDisplayLevels));
  if (level.overflow()) return false;
  Bracket bracket(*this);
  advance();
  e = Expr::of(ExprKind::kOther);
  if (at(K::RBRACE)) {
    if (!probe_empty_bracket()) return false;
    advance();
    return true;
  }
  Expr part;
  bool is_dict = false;
  int d = 0;  // the deepest key, value or element
  if (at(K::DOUBLESTAR)) {
    advance();
    if (!bitwise_or(part)) return false;
    d = part.depth;
    is_dict = true;
  } else {
    if (!star_named_expression(part)) return false;
    d = part.depth;
    if (at(K::COLON)) {
      if (part.kind == ExprKind::kStarred ||
          (part.kind == ExprKind::kNamedExpr && !part.parenthesized)) {
        return fail();
      }
      advance();
      if (!expression(part)) return false;
      d = deeper(d, part.depth);
      is_dict = true;
    }
    if (at_keyword(KW::kFor) || at_keyword(KW::kAsync)) {
      return part.kind != ExprKind::kStarred ? comprehension_rest(d, K::RBRACE, e) : fail();
    }
  }
  Level rest(*this, at(K::COMMA) ? kDisplayRestLevels : 0);
  if (rest.overflow()) return false;
  while (at(K::COMMA)) {
    advance();
    if (at(K::RBRACE)) {
      if (!probe_levels(kPastLookaheadLevels)) return false;
      break;
    }
    if (is_dict) {
      if (at(K::DOUBLESTAR)) {
        advance();
        if (!bitwise_or(part)) return false;
        d = deeper(d, part.depth);
      } else {
        if (!expression(part)) return false;
        d = deeper(d, part.depth);
        if (!eat(K::COLON)) return false;
        if (!expression(part)) return false;
        d = deeper(d, part.depth);
      }
    } else {
      if (!star_named_expression(part)) return false;
      d = deeper(d, part.depth);
    }
  }
  e = node(ExprKind::kOther, d);
  return eat(K::RBRACE);
}

// lambdef: 'lambda' [lambda_params] ':' expression
bool GrammarParser::lambdef(Expr& e) {
  OperandLevel level(*this, 2);
  if (level.overflow()) return false;
  advance();
  int args = 0;
  if (!at(K::COLON) && !params(true, args)) return false;
  // A ':' that starts an f-string's format spec is followed by the spec, never by the
  // body: CPython's tokenizer reads on in the spec.
  if (!at(K::COLON) || (tok().flags & token_flags::kReplacementField) != 0) return fail();
  advance();
  if (!expression(e)) return false;
  e = node(ExprKind::kOther, deeper(1 + args, e.depth));
  return true;
}

// for_if_clauses: for_if_clause+
// for_if_clause:
//     | 'async' 'for' star_targets 'in' ~ disjunction ('if' disjunction )*
//     | 'for' star_targets 'in' ~ disjunction ('if' disjunction )*
// Sets `d` to the depth of the deepest comprehension node.
bool GrammarParser::for_if_clauses(int& d) {
  do {
    if (at_keyword(KW::kAsync)) advance();
    if (!eat_keyword(KW::kFor)) return false;
    Expr e;
    if (!star_targets(e)) return false;
    int parts = e.depth;
    if (!eat_keyword(KW::kIn)) return false;
    if (!disjunction(e)) return false;
    parts = deeper(parts, e.depth);
    while (at_keyword(KW::kIf)) {
      advance();
      if (!disjunction(e)) return false;
      parts = deeper(parts, e.depth);
    }
    d = deeper(d, 1 + parts);
  } while (at_keyword(KW::kFor) || (at_keyword(KW::kAsync) && peek(1).kind == K::NAME &&
                                    peek(1).keyword == KW::kFor));
  return true;
}

// arguments: args [','] &')'
// args:
//     | ','.(starred_expression | ( assignment_expression | expression !':=') !'=')+ [',' kwargs ]
//     | kwargs
// kwargs: ','.kwarg_or_starred+ ',' ','.kwarg_or_double_starred+ | ...
// kwarg_or_starred: NAME '=' expression | starred_expression
// kwarg_or_double_starred: NAME '=' expression | '**' expression
// With `allow_genexp`, also primary genexp: a call whose only argument is a generator
// expression without its own parentheses (a class's bases cannot be one).
// Raises `d` to the depth of the deepest argument's node.
bool GrammarParser::arguments(bool allow_genexp, int& d) {
  enum { kPositional, kKeywords, kDoubleStarred } phase = kPositional;
  bool first = true;
  std::optional<Level> rest;  // for the arguments after the first
  for (;;) {
    Expr e;
    if (at(K::STAR)) {
      if (phase == kDoubleStarred) return fail();
      advance();
      if (!expression(e)) return false;
      d = deeper(d, 1 + e.depth);
    } else if (at(K::DOUBLESTAR)) {
      advance();
      if (!expression(e)) return false;
      d = deeper(d, 1 + e.depth);
      phase = kDoubleStarred;
    } else if (at_name() && peek(1).kind == K::EQUAL) {
      advance();
      advance();
      if (!expression(e)) return false;
      d = deeper(d, 1 + e.depth);
      if (phase == kPositional) phase = kKeywords;
    } else {
      if (phase != kPositional) return fail();
      if (!named_expression(e)) return false;
      if (at(K::EQUAL)) return fail();
      if (first && allow_genexp && (at_keyword(KW::kFor) || at_keyword(KW::kAsync))) {
        int clauses = 0;
        if (!for_if_clauses(clauses)) return false;
        d = deeper(d, 1 + deeper(e.depth, clauses));
        return at(K::RPAR) ? true : fail();
      }
      d = deeper(d, e.depth);
    }
    if (!at(K::COMMA)) break;
    advance();
    if (first) {
      first = false;
      rest.emplace(*this, kArgumentRestLevels);
      if (rest->overflow()) return false;
    }
    if (at(K::RPAR)) {
      if (!probe_levels(kPastLookaheadLevels)) return false;
      break;
    }
  }
  return at(K::RPAR) ? true : fail();
}

// star_targets: star_target !',' | star_target (',' star_target )* [',']
// (for the targets of 'for': each must qualify as a star_target)
bool GrammarParser::star_targets(Expr& e) {
  if (!star_target(e)) return false;
  if (!e.star_target) return fail();
  if (!at(K::COMMA)) return true;
  Expr seq = tuple_of(ExprKind::kTuple);
  add_element(seq, e);
  while (at(K::COMMA)) {
    advance();
    if (!starts_expression(tok())) break;
    Expr el;
    if (!star_target(el)) return false;
    if (!el.star_target) return fail();
    add_element(seq, el);
  }
  e = done(seq);
  return true;
}

// star_target: '*' (!'*' star_target) | target_with_star_atom
// Recognized as '*'? bitwise_or; the caller checks Expr::star_target.
bool GrammarParser::star_target(Expr& e) {
  if (!at(K::STAR)) return bitwise_or(e);
  advance();
  if (at(K::STAR)) return fail();
  Expr inner;
  if (!bitwise_or(inner)) return false;
  e = node(ExprKind::kStarred, inner.depth);
  e.star_target = inner.star_target && inner.kind != ExprKind::kStarred;
  e.del_target = false;
  return true;
}

// strings: (fstring|string)+
// Each string is decoded as CPython decodes it, and bytes cannot be joined with text.
// Sets `d` to the depth of the node: a Constant, or a JoinedStr when an f-string takes part.
bool GrammarParser::strings(int& d) {
  d = 1;
  int joined = 0;  // the deepest part of the JoinedStr
  bool any_fstring = false;
  bool any_bytes = false;
  bool any_text = false;
  const std::uint32_t start = tok().range.start;
  while (at(K::STRING) || at(K::FSTRING_START)) {
    const Token& t = tok();
    if (!probe_levels(t.kind == K::STRING ? kStringLevels : kFStringLevels)) return false;
    if (t.kind == K::STRING) {
      if (auto err = check_string_token(text(t))) {
        return raise_error(err->message, t.range.start + err->offset);
      }
      ((t.flags & token_flags::kBytes) != 0 ? any_bytes : any_text) = true;
      advance();
    } else {
      int parts = 0;
      if (!fstring(parts)) return false;
      joined = deeper(joined, parts);
      any_fstring = any_text = true;
    }
  }
  if (any_fstring) d = 1 + joined;
  if (any_bytes && any_text) return raise_error("cannot mix bytes and nonbytes literals", start);
  return true;
}

// fstring: FSTRING_START fstring_middle* FSTRING_END
// fstring_middle: fstring_replacement_field | FSTRING_MIDDLE
// Raises `d` to the depth of its deepest part (a Constant or a FormattedValue).
bool GrammarParser::fstring(int& d) {
  const bool raw = (tok().flags & token_flags::kRaw) != 0;
  advance();
  for (;;) {
    const Token& t = tok();
    if (t.kind == K::FSTRING_END) {
      advance();
      return true;
    }
    if (t.kind == K::FSTRING_MIDDLE) {
      if (auto err = check_fstring_middle(text(t), raw)) {
        return raise_error(err->message, t.range.start + err->offset);
      }
      d = deeper(d, 1);
      advance();
      continue;
    }
    if (t.kind != K::LBRACE) return fail();
    const bool saved = _fstring_raw;
    _fstring_raw = raw;
    const bool ok = fstring_replacement_field(d);
    _fstring_raw = saved;
    if (!ok) return false;
  }
}

// fstring_replacement_field:
//     | '{' annotated_rhs '='? [fstring_conversion] [fstring_full_format_spec] '}'
// fstring_conversion: "!" NAME
// fstring_full_format_spec: ':' fstring_format_spec*
// fstring_format_spec: FSTRING_MIDDLE | fstring_replacement_field
// Raises `d` to the depth of its FormattedValue node.
bool GrammarParser::fstring_replacement_field(int& d) {
  Level level(*this, bracket_levels(kReplacementFieldLevels, kNestedReplacementFieldLevels));
  if (level.overflow()) return false;
  Bracket bracket(*this);
  if (!eat(K::LBRACE)) return false;
  Expr e;
  if (!annotated_rhs(e)) return false;
  int inner = e.depth;
  if (at(K::EQUAL)) advance();
  if (at(K::EXCLAMATION)) {
    const Token& bang = tok();
    advance();
    if (!at(K::NAME)) return fail();
    const Token& conv = tok();
    if (conv.range.start != bang.range.end) {
      return raise_error("f-string: conversion type must come right after the exclamanation mark",
                         conv.range.start);
    }
    const std::string_view c = text(conv);
    if (c != "s" && c != "r" && c != "a") {
      return raise_error("f-string: invalid conversion character '" + std::string(c) +
                             "': expected 's', 'r', or 'a'",
                         conv.range.start);
    }
    advance();
  }
  if (at(K::COLON)) {
    advance();
    int spec = 0;  // the deepest part of the format spec's JoinedStr
    for (;;) {
      const Token& t = tok();
      if (t.kind == K::FSTRING_MIDDLE) {
        if (auto err = check_fstring_middle(text(t), _fstring_raw)) {
          return raise_error(err->message, t.range.start + err->offset);
        }
        spec = deeper(spec, 1);
        advance();
      } else if (t.kind == K::LBRACE) {
        if (!fstring_replacement_field(spec)) return false;
      } else {
        break;
      }
    }
    inner = deeper(inner, 1 + spec);
  }
  d = deeper(d, 1 + inner);
  return eat(K::RBRACE);
}

// NUMBER: CPython converts decimal integers with at most 4300 digits.
bool GrammarParser::number(const Token& t) {
  const std::string_view s = text(t);
  if (s.size() <= kMaxIntDigits) return true;
  if (s.size() > 1 && s[0] == '0' && s[1] != '_' && s[1] != '0') return true;  // 0x 0o 0b 0.
  size_t digits = 0;
  bool leading = true;
  for (char c : s) {
    if (c >= '0' && c <= '9') {
      if (c != '0') leading = false;
      if (!leading) ++digits;
    } else if (c != '_') {
      return true;  // a float or an imaginary number
    }
  }
  if (digits <= kMaxIntDigits) return true;
  return raise_error("Exceeds the limit (4300 digits) for integer string conversion: value has " +
                         std::to_string(digits) +
                         " digits; use sys.set_int_max_str_digits() to increase the limit - "
                         "Consider hexadecimal for huge integer literals to avoid decimal "
                         "conversion limits.",
                     t.range.start);
}

}  // namespace pelmora::grammar_detail
