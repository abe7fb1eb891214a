// The recognizer's entry points and the statement rules of the Python 3.13 grammar.
#include <string>

#include "python/grammar.h"
#include "python/grammar_parser.h"

namespace pelmora {

namespace grammar_detail {

using K = TokenKind;
using KW = Keyword;

namespace {

// Parser stack levels that CPython spends before it reaches the expression of a statement
// at the top level of a module, and per nested construct (measured on CPython 3.13 with
// chains of unary operators, which cost one level each).
constexpr int kFileLevels = 29;
constexpr int kSimpleStmtLevels = 1;
constexpr int kExpressionStmtLevels = 1;
constexpr int kAssignedValueLevels = 3;
constexpr int kReturnValueLevels = 2;
constexpr int kCompoundStmtLevels = 1;
constexpr int kHeaderItemLevels = 1;  // the iterable of a for, the items of a with
constexpr int kDecoratorLevels = 3;
constexpr int kSubjectRestLevels = 2;  // a match subject's elements after the first ','

constexpr int kIndentedBlockLevels = 5;
constexpr int kInlineBlockLevels = 2;
constexpr int kFunctionBodyLevels = 1;
constexpr int kMatchLevels = 3;
constexpr int kElifLevels = 1;

int deeper(int a, int b) { return a > b ? a : b; }

bool is_augassign(K k) {
  switch (k) {
    case K::PLUSEQUAL: case K::MINEQUAL: case K::STAREQUAL: case K::ATEQUAL:
    case K::SLASHEQUAL: case K::PERCENTEQUAL: case K::AMPEREQUAL: case K::VBAREQUAL:
    case K::CIRCUMFLEXEQUAL: case K::LEFTSHIFTEQUAL: case K::RIGHTSHIFTEQUAL:
    case K::DOUBLESTAREQUAL: case K::DOUBLESLASHEQUAL:
      return true;
    default:
      return false;
  }
}

}  // namespace

GrammarParser::GrammarParser(std::string_view source, const std::vector<Token>& tokens)
    : _source(source), _tokens(tokens) {
  assert(!tokens.empty());
}

bool GrammarParser::raise_error(std::string message, std::uint32_t offset) {
  if (!_error_set) {
    _error_set = true;
    _error_message = std::move(message);
    _error_offset = offset;
  }
  return false;
}

SyntaxVerdict GrammarParser::run() {
  SyntaxVerdict v;
  if (file()) return v;
  v.valid = false;
  if (_error_set) {
    v.message = _error_message;
    v.offset = _error_offset;
  } else {
    v.message = "invalid syntax";
    const size_t at = _furthest < _tokens.size() ? _furthest : _tokens.size() - 1;
    v.offset = _tokens[at].range.start;
  }
  v.line = line_position(_source, v.offset).line;
  return v;
}

// file: [statements] ENDMARKER
bool GrammarParser::file() {
  _level = kFileLevels;
  int d = 0;
  if (!statements(false, d)) return false;
  if (!at(K::ENDMARKER)) return fail();
  // ast.parse turns the tree into Python objects recursively, within its recursion limit.
  if (1 + d > kMaxAstDepth) {
    return raise_error("maximum recursion depth exceeded during ast construction", 0);
  }
  return true;
}

// statements: statement+
// (In a block, the statements run to the DEDENT; at the top, to the ENDMARKER.)
bool GrammarParser::statements(bool in_block, int& d) {
  const K end = in_block ? K::DEDENT : K::ENDMARKER;
  if (in_block && at(end)) return fail();
  d = 0;
  while (!at(end)) {
    const size_t before = _pos;
    int sd = 0;
    if (!statement(sd)) return false;
    d = deeper(d, sd);
    assert(_pos > before);
    (void)before;
  }
  return true;
}

// statement: compound_stmt | simple_stmts
bool GrammarParser::statement(int& d) {
  const Token& t = tok();
  if (t.kind == K::NAME) {
    switch (t.keyword) {
      case KW::kDef: case KW::kIf: case KW::kClass: case KW::kWith: case KW::kFor:
      case KW::kTry: case KW::kWhile: case KW::kAsync:
        return compound_stmt(d);
      case KW::kMatch: {
        // match_stmt is tried first; a line such as "match(x)" is a simple statement.
        const size_t start = _pos;
        bool committed = false;
        if (match_stmt(committed, d)) return true;
        if (committed || !backtrack(start)) return false;
        return simple_stmts(d);
      }
      default:
        break;
    }
  } else if (t.kind == K::AT) {
    return compound_stmt(d);
  }
  return simple_stmts(d);
}

// simple_stmts:
//     | simple_stmt !';' NEWLINE
//     | ';'.simple_stmt+ [';'] NEWLINE
bool GrammarParser::simple_stmts(int& d) {
  d = 0;
  for (;;) {
    int sd = 0;
    if (!simple_stmt(sd)) return false;
    d = deeper(d, sd);
    if (at(K::SEMI)) {
      advance();
      if (at(K::NEWLINE)) break;
      continue;
    }
    break;
  }
  return eat(K::NEWLINE);
}

// simple_stmt:
//     | assignment | &"type" type_alias | e=star_expressions
//     | &'return' return_stmt | &('import' | 'from') import_stmt | &'raise' raise_stmt
//     | 'pass' | &'del' del_stmt | &'yield' yield_stmt | &'assert' assert_stmt
//     | 'break' | 'continue' | &'global' global_stmt | &'nonlocal' nonlocal_stmt
bool GrammarParser::simple_stmt(int& d) {
  Level level(*this, kSimpleStmtLevels);
  if (level.overflow()) return false;
  const Token& t = tok();
  d = 1;
  if (t.kind == K::NAME) {
    switch (t.keyword) {
      case KW::kReturn: return return_stmt(d);
      case KW::kImport: return import_name(d);
      case KW::kFrom: return import_from(d);
      case KW::kRaise: return raise_stmt(d);
      case KW::kPass: case KW::kBreak: case KW::kContinue: advance(); return true;
      case KW::kDel: return del_stmt(d);
      case KW::kAssert: return assert_stmt(d);
      case KW::kGlobal: case KW::kNonlocal: return global_stmt(d);
      case KW::kType:
        // "type" NAME can only begin a type alias; otherwise type is a name.
        if (is_name(peek(1))) return type_alias(d);
        break;
      default:
        break;
    }
  }
  return assignment_or_expression_stmt(d);
}

// assignment:
//     | NAME ':' expression ['=' annotated_rhs ]
//     | ('(' single_target ')' | single_subscript_attribute_target) ':' expression ['=' annotated_rhs ]
//     | (star_targets '=' )+ (yield_expr | star_expressions) !'=' [TYPE_COMMENT]
//     | single_target augassign ~ (yield_expr | star_expressions)
// or else the expression statement: star_expressions (or a yield_stmt).
//
// The first expression is recognized once as an expression; what follows it decides which
// of these it is, and whether it qualifies as the target that form needs.
bool GrammarParser::assignment_or_expression_stmt(int& d) {
  Expr first;
  {
    Level level(*this, kExpressionStmtLevels);
    if (level.overflow()) return false;
    if (!annotated_rhs(first)) return false;
  }
  d = 1 + first.depth;
  if (at(K::COLON)) {
    if (!first.single_target()) return fail();
    advance();
    Expr annotation;
    if (!expression(annotation)) return false;
    d = deeper(d, 1 + annotation.depth);
    if (!at(K::EQUAL)) return true;
    advance();
    return assigned_value(d, false);
  }
  if (is_augassign(tok().kind)) {
    if (!first.single_target()) return fail();
    advance();
    // Unlike after '=', a bracket opening the value costs CPython its nested price.
    return assigned_value(d, true);
  }
  if (at(K::EQUAL)) {
    Level level(*this, kAssignedValueLevels);
    if (level.overflow()) return false;
    Expr last = first;
    while (at(K::EQUAL)) {
      if (!last.star_target) return fail();
      advance();
      if (!annotated_rhs(last)) return false;
      d = deeper(d, 1 + last.depth);
    }
  }
  return true;
}

// annotated_rhs: yield_expr | star_expressions
bool GrammarParser::annotated_rhs(Expr& e) {
  if (at_keyword(KW::kYield)) return yield_expr(e);
  return star_expressions(e);
}

// return_stmt: 'return' [star_expressions]
bool GrammarParser::return_stmt(int& d) {
  advance();
  if (at(K::NEWLINE) || at(K::SEMI)) return true;
  Level level(*this, kReturnValueLevels);
  if (level.overflow()) return false;
  Expr e;
  if (!star_expressions(e)) return false;
  d = 1 + e.depth;
  return true;
}

// The value of an annotated or augmented assignment (annotated_rhs), `as_operand` when it is
// an operator's. Raises `d` to the statement's depth.
bool GrammarParser::assigned_value(int& d, bool as_operand) {
  Level level(*this, kAssignedValueLevels);
  if (level.overflow()) return false;
  std::optional<OperandLevel> operand;
  if (as_operand) operand.emplace(*this, 0);
  Expr value;
  if (!annotated_rhs(value)) return false;
  d = deeper(d, 1 + value.depth);
  return true;
}

// raise_stmt: 'raise' expression ['from' expression ] | 'raise'
bool GrammarParser::raise_stmt(int& d) {
  advance();
  if (at(K::NEWLINE) || at(K::SEMI)) return true;
  return expression_and_optional_one(d, &GrammarParser::at_from);
}

// global_stmt: 'global' ','.NAME+
// nonlocal_stmt: 'nonlocal' ','.NAME+
bool GrammarParser::global_stmt(int& d) {
  d = 1;
  advance();
  for (;;) {
    if (!eat_name()) return false;
    if (!at(K::COMMA)) return true;
    advance();
  }
}

// del_stmt: 'del' del_targets &(';' | NEWLINE)
// del_targets: ','.del_target+ [',']
bool GrammarParser::del_stmt(int& d) {
  advance();
  for (;;) {
    Expr e;
    if (!bitwise_or(e)) return false;
    if (!e.del_target) return fail();
    d = deeper(d, 1 + e.depth);
    if (!at(K::COMMA)) break;
    advance();
    if (at(K::SEMI) || at(K::NEWLINE)) break;
  }
  if (at(K::SEMI) || at(K::NEWLINE)) return true;
  return fail();
}

// assert_stmt: 'assert' expression [',' expression ]
bool GrammarParser::assert_stmt(int& d) {
  advance();
  return expression_and_optional_one(d, &GrammarParser::at_comma);
}

// expression [<token> expression], where `before_second` tells the token: the operands of
// raise and assert. Sets `d` to the statement's depth.
bool GrammarParser::expression_and_optional_one(int& d,
                                                bool (GrammarParser::*before_second)() const) {
  Expr e;
  if (!expression(e)) return false;
  d = 1 + e.depth;
  if ((this->*before_second)()) {
    advance();
    if (!expression(e)) return false;
    d = deeper(d, 1 + e.depth);
  }
  return true;
}

// import_name: 'import' dotted_as_names
bool GrammarParser::import_name(int& d) {
  d = 2;
  advance();
  return dotted_as_names();
}

// dotted_as_names: ','.dotted_as_name+
// dotted_as_name: dotted_name ['as' NAME ]
bool GrammarParser::dotted_as_names() {
  for (;;) {
    if (!dotted_name()) return false;
    if (at_keyword(KW::kAs)) {
      advance();
      if (!eat_name()) return false;
    }
    if (!at(K::COMMA)) return true;
    advance();
  }
}

// dotted_name: dotted_name '.' NAME | NAME
bool GrammarParser::dotted_name() {
  if (!eat_name()) return false;
  while (at(K::DOT)) {
    advance();
    if (!eat_name()) return false;
  }
  return true;
}

// import_from:
//     | 'from' ('.' | '...')* dotted_name 'import' import_from_targets
//     | 'from' ('.' | '...')+ 'import' import_from_targets
// import_from_targets:
//     | '(' import_from_as_names [','] ')'
//     | import_from_as_names !','
//     | '*'
bool GrammarParser::import_from(int& d) {
  d = 2;
  advance();
  bool dots = false;
  while (at(K::DOT) || at(K::ELLIPSIS)) {
    advance();
    dots = true;
  }
  if (!at_keyword(KW::kImport) || !dots) {
    if (!dotted_name()) return false;
  }
  if (!eat_keyword(KW::kImport)) return false;
  if (at(K::STAR)) {
    advance();
    return true;
  }
  if (at(K::LPAR)) {
    advance();
    if (!import_from_as_names()) return false;
    if (at(K::COMMA)) advance();
    return eat(K::RPAR);
  }
  if (!import_from_as_names()) return false;
  if (at(K::COMMA)) return fail();
  return true;
}

// import_from_as_names: ','.import_from_as_name+
// import_from_as_name: NAME ['as' NAME ]
bool GrammarParser::import_from_as_names() {
  for (;;) {
    if (!eat_name()) return false;
    if (at_keyword(KW::kAs)) {
      advance();
      if (!eat_name()) return false;
    }
    if (!at(K::COMMA) || !is_name(peek(1))) return true;
    advance();
  }
}

// type_alias: "type" NAME [type_params] '=' expression
bool GrammarParser::type_alias(int& d) {
  advance();
  if (!eat_name()) return false;
  d = 2;
  if (at(K::LSQB) && !type_params(d)) return false;
  if (!eat(K::EQUAL)) return false;
  Expr e;
  if (!expression(e)) return false;
  d = deeper(d, e.depth) + 1;
  return true;
}

// type_params: '[' type_param_seq ']'
// type_param_seq: ','.type_param+ [',']
// Raises `d` to the depth of the deepest type parameter's node.
bool GrammarParser::type_params(int& d) {
  if (!eat(K::LSQB)) return false;
  for (;;) {
    int pd = 0;
    if (!type_param(pd)) return false;
    d = deeper(d, pd);
    if (!at(K::COMMA)) break;
    advance();
    if (at(K::RSQB)) break;
  }
  return eat(K::RSQB);
}

// type_param:
//     | NAME [type_param_bound] [type_param_default]
//     | '*' NAME [type_param_starred_default]
//     | '**' NAME [type_param_default]
// type_param_bound: ':' expression
// type_param_default: '=' expression
// type_param_starred_default: '=' star_expression
bool GrammarParser::type_param(int& d) {
  Expr e;
  d = 1;
  if (at(K::STAR) || at(K::DOUBLESTAR)) {
    const bool star = at(K::STAR);
    advance();
    if (!eat_name()) return false;
    if (at(K::COLON)) {
      return raise_error(star ? "cannot use bound with TypeVarTuple"
                              : "cannot use bound with ParamSpec",
                         tok().range.start);
    }
    if (!at(K::EQUAL)) return true;
    advance();
    if (!(star ? star_expression(e) : expression(e))) return false;
    d = 1 + e.depth;
    return true;
  }
  if (!eat_name()) return false;
  if (at(K::COLON)) {
    advance();
    if (!expression(e)) return false;
    d = 1 + e.depth;
  }
  if (at(K::EQUAL)) {
    advance();
    if (!expression(e)) return false;
    d = deeper(d, 1 + e.depth);
  }
  return true;
}

// compound_stmt:
//     | &('def' | '@' | 'async') function_def | &'if' if_stmt | &('class' | '@') class_def
//     | &('with' | 'async') with_stmt | &('for' | 'async') for_stmt | &'try' try_stmt
//     | &'while' while_stmt | match_stmt
bool GrammarParser::compound_stmt(int& d) {
  Level level(*this, kCompoundStmtLevels);
  if (level.overflow()) return false;
  if (at(K::AT)) {
    int decorated = 0;
    if (!decorators(decorated)) return false;
    if (!(at_keyword(KW::kClass) ? class_def_raw(d) : function_def_raw(d))) return false;
    d = deeper(d, 1 + decorated);
    return true;
  }
  switch (tok().keyword) {
    case KW::kDef: return function_def_raw(d);
    case KW::kIf: return if_stmt(d);
    case KW::kClass: return class_def_raw(d);
    case KW::kWith: return with_stmt(d);
    case KW::kFor: return for_stmt(d);
    case KW::kTry: return try_stmt(d);
    case KW::kWhile: return while_stmt(d);
    case KW::kAsync: {
      const Token& next = peek(1);
      if (next.kind == K::NAME) {
        if (next.keyword == KW::kDef) return function_def_raw(d);
        if (next.keyword == KW::kWith) return with_stmt(d);
        if (next.keyword == KW::kFor) return for_stmt(d);
      }
      return fail();
    }
    default:
      return fail();
  }
}

// block: NEWLINE INDENT statements DEDENT | simple_stmts
// Sets `d` to the depth of its deepest statement; `levels` are the parser stack levels
// its statement spends beyond an ordinary block's.
bool GrammarParser::block(int& d, int levels) {
  if (at(K::NEWLINE)) {
    Level level(*this, kIndentedBlockLevels + levels);
    if (level.overflow()) return false;
    advance();
    if (!eat(K::INDENT)) return false;
    if (!statements(true, d)) return false;
    return eat(K::DEDENT);
  }
  Level level(*this, kInlineBlockLevels + levels);
  if (level.overflow()) return false;
  return simple_stmts(d);
}

// decorators: ('@' named_expression NEWLINE )+
// Sets `d` to the depth of the deepest decorator expression.
bool GrammarParser::decorators(int& d) {
  Level level(*this, kDecoratorLevels);
  if (level.overflow()) return false;
  while (at(K::AT)) {
    advance();
    Expr e;
    if (!named_expression(e)) return false;
    d = deeper(d, e.depth);
    if (!eat(K::NEWLINE)) return false;
  }
  return true;
}

// class_def_raw: 'class' NAME [type_params] ['(' [arguments] ')' ] ':' block
bool GrammarParser::class_def_raw(int& d) {
  if (!eat_keyword(KW::kClass)) return false;
  if (!eat_name()) return false;
  int inner = 0;
  if (at(K::LSQB) && !type_params(inner)) return false;
  if (at(K::LPAR)) {
    advance();
    if (!at(K::RPAR) && !arguments(false, inner)) return false;
    if (!eat(K::RPAR)) return false;
  }
  if (!eat(K::COLON)) return false;
  int body = 0;
  if (!block(body, kFunctionBodyLevels)) return false;
  d = 1 + deeper(inner, body);
  return true;
}

// function_def_raw:
//     | 'def' NAME [type_params] '(' [params] ')' ['->' expression ] ':' [func_type_comment] block
//     | 'async' 'def' NAME [type_params] '(' [params] ')' ['->' expression ] ':' [func_type_comment] block
bool GrammarParser::function_def_raw(int& d) {
  if (at_keyword(KW::kAsync)) advance();
  if (!eat_keyword(KW::kDef)) return false;
  if (!eat_name()) return false;
  int inner = 1;  // the arguments node
  if (at(K::LSQB) && !type_params(inner)) return false;
  if (!eat(K::LPAR)) return false;
  int args = 0;
  if (!at(K::RPAR) && !params(false, args)) return false;
  inner = deeper(inner, 1 + args);
  if (!eat(K::RPAR)) return false;
  if (at(K::RARROW)) {
    advance();
    Expr e;
    if (!expression(e)) return false;
    inner = deeper(inner, e.depth);
  }
  if (!eat(K::COLON)) return false;
  int body = 0;
  if (!block(body, kFunctionBodyLevels)) return false;
  d = 1 + deeper(inner, body);
  return true;
}

// parameters:
//     | slash_no_default param_no_default* param_with_default* [star_etc]
//     | slash_with_default param_with_default* [star_etc]
//     | param_no_default+ param_with_default* [star_etc]
//     | param_with_default+ [star_etc]
//     | star_etc
// star_etc:
//     | '*' param_no_default param_maybe_default* [kwds]
//     | '*' param_no_default_star_annotation param_maybe_default* [kwds]
//     | '*' ',' param_maybe_default+ [kwds]
//     | kwds
// (and lambda_parameters, the same without annotations and closed by ':' instead of ')').
// Every parameter is followed by ',' or by the closing token, which is not consumed.
// Sets `d` to the depth of the deepest parameter or default (below the arguments node).
bool GrammarParser::params(bool lambda, int& d) {
  const K close = lambda ? K::COLON : K::RPAR;
  auto after_param = [&]() {
    if (at(K::COMMA)) {
      advance();
      return true;
    }
    return at(close) ? true : fail();
  };
  bool any = false;
  bool seen_default = false;
  bool seen_slash = false;
  Expr e;
  int pd = 0;
  while (at_name()) {
    if (!param(lambda, false, pd)) return false;
    d = deeper(d, pd);
    if (at(K::EQUAL)) {
      advance();
      if (!expression(e)) return false;
      d = deeper(d, e.depth);
      seen_default = true;
    } else if (seen_default) {
      return fail();  // a parameter without a default follows one with a default
    }
    if (!after_param()) return false;
    any = true;
    if (at(K::SLASH)) {
      if (seen_slash) return fail();
      advance();
      seen_slash = true;
      if (!after_param()) return false;
    }
  }
  if (at(K::SLASH)) return fail();
  if (at(K::STAR)) {
    advance();
    if (at(K::COMMA)) {
      advance();
      if (!at_name()) return fail();
    } else {
      if (!param(lambda, true, pd)) return false;
      d = deeper(d, pd);
      if (!after_param()) return false;
    }
    while (at_name()) {
      if (!param(lambda, false, pd)) return false;
      d = deeper(d, pd);
      if (at(K::EQUAL)) {
        advance();
        if (!expression(e)) return false;
        d = deeper(d, e.depth);
      }
      if (!after_param()) return false;
    }
    if (at(K::DOUBLESTAR)) return kwds(lambda, d);
    return true;
  }
  if (at(K::DOUBLESTAR)) return kwds(lambda, d);
  return any ? true : fail();
}

// param: NAME annotation?             annotation: ':' expression
// param_star_annotation: NAME star_annotation    star_annotation: ':' star_expression
// lambda_param: NAME
bool GrammarParser::param(bool lambda, bool star_annotation, int& d) {
  if (!eat_name()) return false;
  d = 1;
  if (lambda || !at(K::COLON)) return true;
  advance();
  Expr e;
  if (!(star_annotation ? star_expression(e) : expression(e))) return false;
  d = 1 + e.depth;
  return true;
}

// kwds: '**' param_no_default
bool GrammarParser::kwds(bool lambda, int& d) {
  advance();
  int pd = 0;
  if (!param(lambda, false, pd)) return false;
  d = deeper(d, pd);
  const K close = lambda ? K::COLON : K::RPAR;
  if (at(K::COMMA)) advance();
  return at(close) ? true : fail();
}

// if_stmt:
//     | 'if' named_expression ':' block elif_stmt
//     | 'if' named_expression ':' block [else_block]
// elif_stmt: the same with 'elif'
// (Each elif is an If nested in the orelse of the one before, in the tree and on CPython's
// parser stack.)
bool GrammarParser::if_stmt(int& d) {
  advance();
  Expr e;
  if (!named_expression(e)) return false;
  if (!eat(K::COLON)) return false;
  int body = 0;
  if (!block(body, 0)) return false;
  int rest = 0;
  if (at_keyword(KW::kElif)) {
    Level level(*this, kElifLevels);
    if (level.overflow()) return false;
    if (!if_stmt(rest)) return false;
  } else if (at_keyword(KW::kElse)) {
    if (!else_block(rest)) return false;
  }
  d = 1 + deeper(e.depth, deeper(body, rest));
  return true;
}

// else_block: 'else' &&':' block
bool GrammarParser::else_block(int& d) {
  advance();
  if (!eat(K::COLON)) return false;
  return block(d, 0);
}

// while_stmt: 'while' named_expression ':' block [else_block]
bool GrammarParser::while_stmt(int& d) {
  advance();
  Expr e;
  if (!named_expression(e)) return false;
  if (!eat(K::COLON)) return false;
  int body = 0;
  if (!block(body, 0)) return false;
  int orelse = 0;
  if (at_keyword(KW::kElse) && !else_block(orelse)) return false;
  d = 1 + deeper(e.depth, deeper(body, orelse));
  return true;
}

// for_stmt:
//     | ['async'] 'for' star_targets 'in' ~ star_expressions ':' [TYPE_COMMENT] block [else_block]
bool GrammarParser::for_stmt(int& d) {
  if (at_keyword(KW::kAsync)) advance();
  advance();
  Expr target;
  if (!star_targets(target)) return false;
  if (!eat_keyword(KW::kIn)) return false;
  Expr iter;
  {
    Level level(*this, kHeaderItemLevels);
    if (level.overflow()) return false;
    if (!star_expressions(iter)) return false;
  }
  if (!eat(K::COLON)) return false;
  int body = 0;
  if (!block(body, 0)) return false;
  int orelse = 0;
  if (at_keyword(KW::kElse) && !else_block(orelse)) return false;
  d = 1 + deeper(deeper(target.depth, iter.depth), deeper(body, orelse));
  return true;
}

// with_stmt:
//     | ['async'] 'with' '(' ','.with_item+ ','? ')' ':' block
//     | ['async'] 'with' ','.with_item+ ':' [TYPE_COMMENT] block
bool GrammarParser::with_stmt(int& d) {
  if (at_keyword(KW::kAsync)) advance();
  advance();
  Level level(*this, kHeaderItemLevels);
  if (level.overflow()) return false;
  int items = 0;
  int body = 0;
  if (at(K::LPAR)) {
    // backtrack: "with (a, b):" lists items, "with (a, b) as c:" has one parenthesized
    // expression. Once the parenthesized form has reached its ':', the other form could
    // only reach the same ':', so the block is recognized once.
    const size_t start = _pos;
    advance();
    bool ok = true;
    for (;;) {
      if (!with_item(items)) {
        ok = false;
        break;
      }
      if (!at(K::COMMA)) break;
      advance();
      if (at(K::RPAR)) break;
    }
    if (ok && at(K::RPAR) && peek(1).kind == K::COLON) {
      advance();
      advance();
      if (!block(body, 0)) return false;
      d = 1 + deeper(items, body);
      return true;
    }
    if (!backtrack(start)) return false;
    items = 0;
  }
  for (;;) {
    if (!with_item(items)) return false;
    if (!at(K::COMMA)) break;
    advance();
  }
  if (!eat(K::COLON)) return false;
  if (!block(body, 0)) return false;
  d = 1 + deeper(items, body);
  return true;
}

// with_item:
//     | expression 'as' star_target &(',' | ')' | ':')
//     | expression
// Raises `d` to the depth of the item's withitem node.
bool GrammarParser::with_item(int& d) {
  Expr e;
  if (!expression(e)) return false;
  d = deeper(d, 1 + e.depth);
  if (!at_keyword(KW::kAs)) return true;
  advance();
  if (!star_target(e)) return false;
  if (!e.star_target) return fail();
  d = deeper(d, 1 + e.depth);
  if (at(K::COMMA) || at(K::RPAR) || at(K::COLON)) return true;
  return fail();
}

// try_stmt:
//     | 'try' &&':' block finally_block
//     | 'try' &&':' block except_block+ [else_block] [finally_block]
//     | 'try' &&':' block except_star_block+ [else_block] [finally_block]
bool GrammarParser::try_stmt(int& d) {
  advance();
  if (!eat(K::COLON)) return false;
  int inner = 0;
  if (!block(inner, 0)) return false;
  int part = 0;
  if (at_keyword(KW::kExcept)) {
    bool first_star = false;
    if (!except_block(first_star, part)) return false;
    inner = deeper(inner, part);
    while (at_keyword(KW::kExcept)) {
      bool star = false;
      if (!except_block(star, part)) return false;
      inner = deeper(inner, part);
      if (star != first_star) return fail();
    }
    if (at_keyword(KW::kElse)) {
      if (!else_block(part)) return false;
      inner = deeper(inner, part);
    }
    if (!at_keyword(KW::kFinally)) {
      d = 1 + inner;
      return true;
    }
  } else if (!at_keyword(KW::kFinally)) {
    return fail();
  }
  // finally_block: 'finally' &&':' block
  advance();
  if (!eat(K::COLON)) return false;
  if (!block(part, 0)) return false;
  d = 1 + deeper(inner, part);
  return true;
}

// except_block:
//     | 'except' expression ['as' NAME ] ':' block
//     | 'except' ':' block
// except_star_block:
//     | 'except' '*' expression ['as' NAME ] ':' block
// Sets `d` to the depth of its ExceptHandler node.
bool GrammarParser::except_block(bool& star, int& d) {
  advance();
  star = false;
  int body = 0;
  if (at(K::STAR)) {
    star = true;
    advance();
  } else if (at(K::COLON)) {
    advance();
    if (!block(body, 0)) return false;
    d = 1 + body;
    return true;
  }
  Expr e;
  if (!expression(e)) return false;
  if (at_keyword(KW::kAs)) {
    advance();
    if (!eat_name()) return false;
  }
  if (!eat(K::COLON)) return false;
  if (!block(body, 0)) return false;
  d = 1 + deeper(e.depth, body);
  return true;
}

// match_stmt: "match" subject_expr ':' NEWLINE INDENT case_block+ DEDENT
// Sets `committed` once the header has matched: no simple statement can start that way.
bool GrammarParser::match_stmt(bool& committed, int& d) {
  Level level(*this, kMatchLevels);
  if (level.overflow()) return false;
  advance();
  int inner = 0;
  if (!subject_expr(inner)) return false;
  if (!at(K::COLON) || peek(1).kind != K::NEWLINE) return fail();
  committed = true;
  advance();
  advance();
  if (!eat(K::INDENT)) return false;
  do {
    int cd = 0;
    if (!case_block(cd)) return false;
    inner = deeper(inner, cd);
  } while (!at(K::DEDENT));
  d = 1 + inner;
  return eat(K::DEDENT);
}

// subject_expr:
//     | star_named_expression ',' star_named_expressions?
//     | named_expression
bool GrammarParser::subject_expr(int& d) {
  Expr e;
  if (!star_named_expression(e)) return false;
  if (at(K::COMMA)) {
    Expr seq;
    seq.depth = e.depth;
    advance();
    if (!at(K::COLON) && !star_named_expressions(seq, K::COLON, kSubjectRestLevels)) return false;
    d = 1 + seq.depth;
    return true;
  }
  d = e.depth;
  return e.kind == ExprKind::kStarred ? fail() : true;
}

// case_block: "case" patterns guard? ':' block
// guard: 'if' named_expression
// Sets `d` to the depth of its match_case node.
bool GrammarParser::case_block(int& d) {
  if (!at_keyword(KW::kCase)) return fail();
  advance();
  int inner = 0;
  if (!patterns(inner)) return false;
  if (at_keyword(KW::kIf)) {
    advance();
    Level level(*this, 1);
    if (level.overflow()) return false;
    Expr e;
    if (!named_expression(e)) return false;
    inner = deeper(inner, e.depth);
  }
  if (!eat(K::COLON)) return false;
  int body = 0;
  if (!block(body, 0)) return false;
  d = 1 + deeper(inner, body);
  return true;
}

}  // namespace grammar_detail

SyntaxVerdict check_python_syntax(std::string_view code, const TokenStream& stream) {
  // CPython refuses a source text with a NUL character before it tokenizes it.
  if (const size_t nul = code.find('\0'); nul != std::string_view::npos) {
    SyntaxVerdict v;
    v.valid = false;
    v.message = "source code string cannot contain null bytes";
    v.offset = static_cast<std::uint32_t>(nul);
    v.line = line_position(code, v.offset).line;
    return v;
  }
  if (stream.error) {
    SyntaxVerdict v;
    v.valid = false;
    v.message = stream.error->message;
    v.line = stream.error->line;
    v.offset = stream.error->offset;
    return v;
  }
  grammar_detail::GrammarParser parser(code, stream.tokens);
  return parser.run();
}


}  // namespace pelmora
