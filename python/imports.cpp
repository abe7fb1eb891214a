// Import statements read from the token stream.
#include "python/imports.h"

#include "python/unicode_ident.h"

namespace pelmora {

namespace {

bool is_identifier(const Token& t) {
  return t.kind == TokenKind::NAME && !is_reserved_keyword(t.keyword);
}

bool is_keyword(const Token& t, Keyword k) { return t.kind == TokenKind::NAME && t.keyword == k; }

std::string name_of(std::string_view source, const Token& t) {
  if (t.flags & token_flags::kNonAscii) return normalize_identifier(t.text(source));
  return std::string(t.text(source));
}

// dotted_name: NAME ('.' NAME)*. Returns the index after it, or 0 when there is none.
std::size_t dotted_name(const std::vector<Token>& tokens, std::size_t i) {
  if (!is_identifier(tokens[i])) return 0;
  ++i;
  while (tokens[i].kind == TokenKind::DOT && is_identifier(tokens[i + 1])) i += 2;
  return i;
}

// NAME ['as' NAME] (',' NAME ['as' NAME])*; returns the index after it, or 0.
std::size_t import_from_as_names(const std::vector<Token>& tokens, std::size_t i,
                                 bool allow_trailing_comma) {
  for (;;) {
    if (!is_identifier(tokens[i])) return 0;
    ++i;
    if (is_keyword(tokens[i], Keyword::kAs)) {
      if (!is_identifier(tokens[i + 1])) return 0;
      i += 2;
    }
    if (tokens[i].kind != TokenKind::COMMA) return i;
    ++i;
    if (allow_trailing_comma && tokens[i].kind == TokenKind::RPAR) return i;
  }
}

bool ends_statement(const Token& t) {
  return t.kind == TokenKind::NEWLINE || t.kind == TokenKind::SEMI;
}

}  // namespace

bool read_import_statement(std::string_view source, const std::vector<Token>& tokens,
                           std::size_t pos, std::size_t& end, std::set<std::string>& names) {
  // The stream always ends with ENDMARKER (or ERRORTOKEN), which matches none of the tests
  // below, so looking one token ahead never leaves the vector.
  std::set<std::string> found;
  std::size_t i = pos;
  if (is_keyword(tokens[i], Keyword::kImport)) {
    ++i;
    for (;;) {
      const std::size_t after = dotted_name(tokens, i);
      if (after == 0) return false;
      found.insert(name_of(source, tokens[i]));
      i = after;
      if (is_keyword(tokens[i], Keyword::kAs)) {
        if (!is_identifier(tokens[i + 1])) return false;
        i += 2;
      }
      if (tokens[i].kind != TokenKind::COMMA) break;
      ++i;
    }
  } else if (is_keyword(tokens[i], Keyword::kFrom)) {
    ++i;
    bool dots = false;
    while (tokens[i].kind == TokenKind::DOT || tokens[i].kind == TokenKind::ELLIPSIS) {
      dots = true;
      ++i;
    }
    const std::size_t after = dotted_name(tokens, i);
    if (after != 0) {
      found.insert(name_of(source, tokens[i]));
      i = after;
    } else if (!dots) {
      return false;
    }
    if (!is_keyword(tokens[i], Keyword::kImport)) return false;
    ++i;
    if (tokens[i].kind == TokenKind::STAR) {
      ++i;
    } else if (tokens[i].kind == TokenKind::LPAR) {
      i = import_from_as_names(tokens, i + 1, true);
      if (i == 0 || tokens[i].kind != TokenKind::RPAR) return false;
      ++i;
    } else {
      i = import_from_as_names(tokens, i, false);
      if (i == 0) return false;
    }
  } else {
    return false;
  }
  if (!ends_statement(tokens[i])) return false;
  end = i;
  names.insert(found.begin(), found.end());
  return true;
}

std::set<std::string> find_imports(std::string_view source, const std::vector<Token>& tokens) {
  std::set<std::string> names;
  int depth = 0;
  bool at_start = true;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    if (at_start && (is_keyword(t, Keyword::kImport) || is_keyword(t, Keyword::kFrom))) {
      std::size_t end = i;
      if (read_import_statement(source, tokens, i, end, names)) {
        i = end;  // the NEWLINE or ';' that ends it: a new statement follows
        at_start = true;
        continue;
      }
    }
    at_start = false;
    switch (t.kind) {
      case TokenKind::LPAR:
      case TokenKind::LSQB:
      case TokenKind::LBRACE:
        ++depth;
        break;
      case TokenKind::RPAR:
      case TokenKind::RSQB:
      case TokenKind::RBRACE:
        if (depth > 0) --depth;
        break;
      case TokenKind::NEWLINE:
      case TokenKind::INDENT:
      case TokenKind::DEDENT:
        depth = 0;
        at_start = true;
        break;
      case TokenKind::SEMI:
      case TokenKind::COLON:
        at_start = depth == 0;
        break;
      default:
        break;
    }
  }
  return names;
}

}  // namespace pelmora
