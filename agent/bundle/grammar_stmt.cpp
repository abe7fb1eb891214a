// The recognizer's entry points and the statement rules of the Python 3.13 grammar.
#include <string>

#include "agent/bundle/grammar.h"
#include "agent/bundle/grammar_parser.h"

namespace pelmora {

namespace grammar_detail {

using K = TokenKind;
using KW = Keyword;

namespace {

// Parser stack levels that CPython spends before it reaches the expression of a statement
// at the top level of a module, and per nested construct (measured on CPython 3.13 with
// chains of unary operators, which cost one level each).
constexpr int kFileLevels = 30;
constexpr int kSimpleStmtLevels = 1;
constexpr int kIndentedBlockLevels = 8;
constexpr int kInlineBlockLevels = 5;

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
  if (!statements(false)) return false;
  return eat(K::ENDMARKER);
}

// statements: statement+
// (In a block, the statements run to the DEDENT; at the top, to the ENDMARKER.)
bool GrammarParser::statements(bool in_block) {
  const K end = in_block ? K::DEDENT : K::ENDMARKER;
  if (in_block && at(end)) return fail();
  while (!at(end)) {
    const size_t before = _pos;
    if (!statement()) return false;
    assert(_pos > before);
    (void)before;
  }
  return true;
}

// statement: compound_stmt | simple_stmts
bool GrammarParser::statement() {
  const Token& t = tok();
  if (t.kind == K::NAME) {
    switch (t.keyword) {
      case KW::kDef: case KW::kIf: case KW::kClass: case KW::kWith: case KW::kFor:
      case KW::kTry: case KW::kWhile: case KW::kAsync:
        return compound_stmt();
      case KW::kMatch: {
        // match_stmt is tried first; a line such as "match(x)" is a simple statement.
        const size_t start = _pos;
        bool committed = false;
        if (match_stmt(committed)) return true;
        if (committed || !backtrack(start)) return false;
        return simple_stmts();
      }
      default:
        break;
    }
  } else if (t.kind == K::AT) {
    return compound_stmt();
  }
  return simple_stmts();
}

// simple_stmts:
//     | simple_stmt !';' NEWLINE
//     | ';'.simple_stmt+ [';'] NEWLINE
bool GrammarParser::simple_stmts() {
  for (;;) {
    if (!simple_stmt()) return false;
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
bool GrammarParser::simple_stmt() {
  Level level(*this, kSimpleStmtLevels);
  const Token& t = tok();
  if (t.kind == K::NAME) {
    switch (t.keyword) {
      case KW::kReturn: return return_stmt();
      case KW::kImport: return import_name();
      case KW::kFrom: return import_from();
      case KW::kRaise: return raise_stmt();
      case KW::kPass: case KW::kBreak: case KW::kContinue: advance(); return true;
      case KW::kDel: return del_stmt();
      case KW::kAssert: return assert_stmt();
      case KW::kGlobal: case KW::kNonlocal: return global_stmt();
      case KW::kType:
        // "type" NAME can only begin a type alias; otherwise type is a name.
        if (is_name(peek(1))) return type_alias();
        break;
      default:
        break;
    }
  }
  return assignment_or_expression_stmt();
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
bool GrammarParser::assignment_or_expression_stmt() {
  Expr first;
  if (!annotated_rhs(first)) return false;
  if (at(K::COLON)) {
    if (!first.single_target()) return fail();
    advance();
    Expr annotation;
    if (!expression(annotation)) return false;
    if (at(K::EQUAL)) {
      advance();
      Expr value;
      return annotated_rhs(value);
    }
    return true;
  }
  if (is_augassign(tok().kind)) {
    if (!first.single_target()) return fail();
    advance();
    Expr value;
    return annotated_rhs(value);
  }
  if (at(K::EQUAL)) {
    Level level(*this, 2);
    if (level.overflow()) return false;
    Expr last = first;
    while (at(K::EQUAL)) {
      if (!last.star_target) return fail();
      advance();
      if (!annotated_rhs(last)) return false;
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
bool GrammarParser::return_stmt() {
  advance();
  if (at(K::NEWLINE) || at(K::SEMI)) return true;
  Expr e;
  return star_expressions(e);
}

// raise_stmt: 'raise' expression ['from' expression ] | 'raise'
bool GrammarParser::raise_stmt() {
  advance();
  if (at(K::NEWLINE) || at(K::SEMI)) return true;
  Expr e;
  if (!expression(e)) return false;
  if (at_keyword(KW::kFrom)) {
    advance();
    return expression(e);
  }
  return true;
}

// global_stmt: 'global' ','.NAME+
// nonlocal_stmt: 'nonlocal' ','.NAME+
bool GrammarParser::global_stmt() {
  advance();
  for (;;) {
    if (!eat_name()) return false;
    if (!at(K::COMMA)) return true;
    advance();
  }
}

// del_stmt: 'del' del_targets &(';' | NEWLINE)
// del_targets: ','.del_target+ [',']
bool GrammarParser::del_stmt() {
  advance();
  for (;;) {
    Expr e;
    if (!bitwise_or(e)) return false;
    if (!e.del_target) return fail();
    if (!at(K::COMMA)) break;
    advance();
    if (at(K::SEMI) || at(K::NEWLINE)) break;
  }
  if (at(K::SEMI) || at(K::NEWLINE)) return true;
  return fail();
}

// assert_stmt: 'assert' expression [',' expression ]
bool GrammarParser::assert_stmt() {
  advance();
  Expr e;
  if (!expression(e)) return false;
  if (at(K::COMMA)) {
    advance();
    return expression(e);
  }
  return true;
}

// import_name: 'import' dotted_as_names
bool GrammarParser::import_name() {
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
bool GrammarParser::import_from() {
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
bool GrammarParser::type_alias() {
  advance();
  if (!eat_name()) return false;
  if (at(K::LSQB) && !type_params()) return false;
  if (!eat(K::EQUAL)) return false;
  Expr e;
  return expression(e);
}

// type_params: '[' type_param_seq ']'
// type_param_seq: ','.type_param+ [',']
bool GrammarParser::type_params() {
  if (!eat(K::LSQB)) return false;
  for (;;) {
    if (!type_param()) return false;
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
bool GrammarParser::type_param() {
  Expr e;
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
    return star ? star_expression(e) : expression(e);
  }
  if (!eat_name()) return false;
  if (at(K::COLON)) {
    advance();
    if (!expression(e)) return false;
  }
  if (at(K::EQUAL)) {
    advance();
    return expression(e);
  }
  return true;
}

// compound_stmt:
//     | &('def' | '@' | 'async') function_def | &'if' if_stmt | &('class' | '@') class_def
//     | &('with' | 'async') with_stmt | &('for' | 'async') for_stmt | &'try' try_stmt
//     | &'while' while_stmt | match_stmt
bool GrammarParser::compound_stmt() {
  if (at(K::AT)) {
    if (!decorators()) return false;
    if (at_keyword(KW::kClass)) return class_def_raw();
    return function_def_raw();
  }
  switch (tok().keyword) {
    case KW::kDef: return function_def_raw();
    case KW::kIf: return if_stmt();
    case KW::kClass: return class_def_raw();
    case KW::kWith: return with_stmt();
    case KW::kFor: return for_stmt();
    case KW::kTry: return try_stmt();
    case KW::kWhile: return while_stmt();
    case KW::kAsync: {
      const Token& next = peek(1);
      if (next.kind == K::NAME) {
        if (next.keyword == KW::kDef) return function_def_raw();
        if (next.keyword == KW::kWith) return with_stmt();
        if (next.keyword == KW::kFor) return for_stmt();
      }
      return fail();
    }
    default:
      return fail();
  }
}

// block: NEWLINE INDENT statements DEDENT | simple_stmts
bool GrammarParser::block() {
  if (at(K::NEWLINE)) {
    Level level(*this, kIndentedBlockLevels);
    if (level.overflow()) return false;
    advance();
    if (!eat(K::INDENT)) return false;
    if (!statements(true)) return false;
    return eat(K::DEDENT);
  }
  Level level(*this, kInlineBlockLevels);
  if (level.overflow()) return false;
  return simple_stmts();
}

// decorators: ('@' named_expression NEWLINE )+
bool GrammarParser::decorators() {
  while (at(K::AT)) {
    advance();
    Expr e;
    if (!named_expression(e)) return false;
    if (!eat(K::NEWLINE)) return false;
  }
  return true;
}

// class_def_raw: 'class' NAME [type_params] ['(' [arguments] ')' ] ':' block
bool GrammarParser::class_def_raw() {
  if (!eat_keyword(KW::kClass)) return false;
  if (!eat_name()) return false;
  if (at(K::LSQB) && !type_params()) return false;
  if (at(K::LPAR)) {
    advance();
    if (!at(K::RPAR) && !arguments(false)) return false;
    if (!eat(K::RPAR)) return false;
  }
  if (!eat(K::COLON)) return false;
  return block();
}

// function_def_raw:
//     | 'def' NAME [type_params] '(' [params] ')' ['->' expression ] ':' [func_type_comment] block
//     | 'async' 'def' NAME [type_params] '(' [params] ')' ['->' expression ] ':' [func_type_comment] block
bool GrammarParser::function_def_raw() {
  if (at_keyword(KW::kAsync)) advance();
  if (!eat_keyword(KW::kDef)) return false;
  if (!eat_name()) return false;
  if (at(K::LSQB) && !type_params()) return false;
  if (!eat(K::LPAR)) return false;
  if (!at(K::RPAR) && !params(false)) return false;
  if (!eat(K::RPAR)) return false;
  if (at(K::RARROW)) {
    advance();
    Expr e;
    if (!expression(e)) return false;
  }
  if (!eat(K::COLON)) return false;
  return block();
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
bool GrammarParser::params(bool lambda) {
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
  while (at_name()) {
    if (!param(lambda, false)) return false;
    if (at(K::EQUAL)) {
      advance();
      if (!expression(e)) return false;
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
      if (!param(lambda, true)) return false;
      if (!after_param()) return false;
    }
    while (at_name()) {
      if (!param(lambda, false)) return false;
      if (at(K::EQUAL)) {
        advance();
        if (!expression(e)) return false;
      }
      if (!after_param()) return false;
    }
    if (at(K::DOUBLESTAR)) return kwds(lambda);
    return true;
  }
  if (at(K::DOUBLESTAR)) return kwds(lambda);
  return any ? true : fail();
}

// param: NAME annotation?             annotation: ':' expression
// param_star_annotation: NAME star_annotation    star_annotation: ':' star_expression
// lambda_param: NAME
bool GrammarParser::param(bool lambda, bool star_annotation) {
  if (!eat_name()) return false;
  if (lambda || !at(K::COLON)) return true;
  advance();
  Expr e;
  return star_annotation ? star_expression(e) : expression(e);
}

// kwds: '**' param_no_default
bool GrammarParser::kwds(bool lambda) {
  advance();
  if (!param(lambda, false)) return false;
  const K close = lambda ? K::COLON : K::RPAR;
  if (at(K::COMMA)) advance();
  return at(close) ? true : fail();
}

// if_stmt:
//     | 'if' named_expression ':' block elif_stmt
//     | 'if' named_expression ':' block [else_block]
// elif_stmt: the same with 'elif'
bool GrammarParser::if_stmt() {
  advance();
  for (;;) {
    Expr e;
    if (!named_expression(e)) return false;
    if (!eat(K::COLON)) return false;
    if (!block()) return false;
    if (!at_keyword(KW::kElif)) break;
    advance();
  }
  if (at_keyword(KW::kElse)) return else_block();
  return true;
}

// else_block: 'else' &&':' block
bool GrammarParser::else_block() {
  advance();
  if (!eat(K::COLON)) return false;
  return block();
}

// while_stmt: 'while' named_expression ':' block [else_block]
bool GrammarParser::while_stmt() {
  advance();
  Expr e;
  if (!named_expression(e)) return false;
  if (!eat(K::COLON)) return false;
  if (!block()) return false;
  if (at_keyword(KW::kElse)) return else_block();
  return true;
}

// for_stmt:
//     | ['async'] 'for' star_targets 'in' ~ star_expressions ':' [TYPE_COMMENT] block [else_block]
bool GrammarParser::for_stmt() {
  if (at_keyword(KW::kAsync)) advance();
  advance();
  Expr e;
  if (!star_targets(e)) return false;
  if (!eat_keyword(KW::kIn)) return false;
  if (!star_expressions(e)) return false;
  if (!eat(K::COLON)) return false;
  if (!block()) return false;
  if (at_keyword(KW::kElse)) return else_block();
  return true;
}

// with_stmt:
//     | ['async'] 'with' '(' ','.with_item+ ','? ')' ':' block
//     | ['async'] 'with' ','.with_item+ ':' [TYPE_COMMENT] block
bool GrammarParser::with_stmt() {
  if (at_keyword(KW::kAsync)) advance();
  advance();
  if (at(K::LPAR)) {
    // backtrack: "with (a, b):" lists items, "with (a, b) as c:" has one parenthesized
    // expression. Once the parenthesized form has reached its ':', the other form could
    // only reach the same ':', so the block is recognized once.
    const size_t start = _pos;
    advance();
    bool ok = true;
    for (;;) {
      if (!with_item()) {
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
      return block();
    }
    if (!backtrack(start)) return false;
  }
  for (;;) {
    if (!with_item()) return false;
    if (!at(K::COMMA)) break;
    advance();
  }
  if (!eat(K::COLON)) return false;
  return block();
}

// with_item:
//     | expression 'as' star_target &(',' | ')' | ':')
//     | expression
bool GrammarParser::with_item() {
  Expr e;
  if (!expression(e)) return false;
  if (!at_keyword(KW::kAs)) return true;
  advance();
  if (!star_target(e)) return false;
  if (!e.star_target) return fail();
  if (at(K::COMMA) || at(K::RPAR) || at(K::COLON)) return true;
  return fail();
}

// try_stmt:
//     | 'try' &&':' block finally_block
//     | 'try' &&':' block except_block+ [else_block] [finally_block]
//     | 'try' &&':' block except_star_block+ [else_block] [finally_block]
bool GrammarParser::try_stmt() {
  advance();
  if (!eat(K::COLON)) return false;
  if (!block()) return false;
  if (at_keyword(KW::kExcept)) {
    bool first_star = false;
    if (!except_block(first_star)) return false;
    while (at_keyword(KW::kExcept)) {
      bool star = false;
      if (!except_block(star)) return false;
      if (star != first_star) return fail();
    }
    if (at_keyword(KW::kElse) && !else_block()) return false;
    if (!at_keyword(KW::kFinally)) return true;
  } else if (!at_keyword(KW::kFinally)) {
    return fail();
  }
  // finally_block: 'finally' &&':' block
  advance();
  if (!eat(K::COLON)) return false;
  return block();
}

// except_block:
//     | 'except' expression ['as' NAME ] ':' block
//     | 'except' ':' block
// except_star_block:
//     | 'except' '*' expression ['as' NAME ] ':' block
bool GrammarParser::except_block(bool& star) {
  advance();
  star = false;
  if (at(K::STAR)) {
    star = true;
    advance();
  } else if (at(K::COLON)) {
    advance();
    return block();
  }
  Expr e;
  if (!expression(e)) return false;
  if (at_keyword(KW::kAs)) {
    advance();
    if (!eat_name()) return false;
  }
  if (!eat(K::COLON)) return false;
  return block();
}

// match_stmt: "match" subject_expr ':' NEWLINE INDENT case_block+ DEDENT
// Sets `committed` once the header has matched: no simple statement can start that way.
bool GrammarParser::match_stmt(bool& committed) {
  advance();
  if (!subject_expr()) return false;
  if (!at(K::COLON) || peek(1).kind != K::NEWLINE) return fail();
  committed = true;
  advance();
  advance();
  if (!eat(K::INDENT)) return false;
  Level level(*this, kIndentedBlockLevels);
  if (level.overflow()) return false;
  do {
    if (!case_block()) return false;
  } while (!at(K::DEDENT));
  return eat(K::DEDENT);
}

// subject_expr:
//     | star_named_expression ',' star_named_expressions?
//     | named_expression
bool GrammarParser::subject_expr() {
  Expr e;
  if (!star_named_expression(e)) return false;
  if (at(K::COMMA)) {
    advance();
    if (at(K::COLON)) return true;
    return star_named_expressions(e, K::COLON);
  }
  return e.kind == ExprKind::kStarred ? fail() : true;
}

// case_block: "case" patterns guard? ':' block
// guard: 'if' named_expression
bool GrammarParser::case_block() {
  if (!at_keyword(KW::kCase)) return fail();
  advance();
  if (!patterns()) return false;
  if (at_keyword(KW::kIf)) {
    advance();
    Expr e;
    if (!named_expression(e)) return false;
  }
  if (!eat(K::COLON)) return false;
  return block();
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

SyntaxVerdict check_python_syntax(std::string_view code) {
  return check_python_syntax(code, tokenize(code));
}

bool is_python_syntax_valid(std::string_view code) { return check_python_syntax(code).valid; }

}  // namespace pelmora
