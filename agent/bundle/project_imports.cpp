#include "agent/bundle/project_imports.h"

#include <algorithm>
#include <deque>
#include <set>

#include <sys/stat.h>

#include "agent/bundle/bundle.h"
#include "agent/bundle/discover.h"
#include "agent/platform/files.h"
#include "python/tokenizer.h"
#include "python/unicode_ident.h"

namespace pelmora {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// A project with more Python files than this is not followed further.
constexpr std::size_t kMaxFollowedFiles = 20000;

bool is_name(const Token& t) { return t.kind == TokenKind::NAME && !is_reserved_keyword(t.keyword); }
bool is_keyword(const Token& t, Keyword k) { return t.kind == TokenKind::NAME && t.keyword == k; }

std::string name_text(std::string_view source, const Token& t) {
  if (t.flags & token_flags::kNonAscii) return normalize_identifier(t.text(source));
  return std::string(t.text(source));
}

bool starts_statement(const std::vector<Token>& tokens, std::size_t i) {
  if (i == 0) return true;
  const TokenKind k = tokens[i - 1].kind;
  return k == TokenKind::NEWLINE || k == TokenKind::INDENT || k == TokenKind::DEDENT ||
         k == TokenKind::SEMI || k == TokenKind::COLON;
}

// The tokens of `code` without the final error token, if any; always ends with a token
// that no rule below takes (ENDMARKER or ERRORTOKEN), so one token of look-ahead is safe.
std::vector<Token> tokens_of(std::string_view code) {
  return tokenize(code).tokens;
}

// dotted_name at tokens[i]: its parts; i moves past it.
std::vector<std::string> dotted(std::string_view code, const std::vector<Token>& tokens,
                                std::size_t& i) {
  std::vector<std::string> parts;
  if (!is_name(tokens[i])) return parts;
  parts.push_back(name_text(code, tokens[i++]));
  while (tokens[i].kind == TokenKind::DOT && is_name(tokens[i + 1])) {
    parts.push_back(name_text(code, tokens[i + 1]));
    i += 2;
  }
  return parts;
}

bool is_dir(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string rel_join(const std::string& dir, const std::string& name) {
  return dir.empty() ? name : dir + "/" + name;
}

std::string rel_parent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The files of `ref`, imported by the file `from_file`, under `root`; found ones go to
// `out`.
void resolve(const std::string& root, const std::string& script_dir, const std::string& from_file,
             const ImportRef& ref, std::vector<std::string>& out) {
  std::string dir;
  if (ref.level == 0) {
    dir = script_dir;
  } else {
    dir = rel_parent(from_file);
    for (std::size_t up = 1; up < ref.level; ++up) {
      if (dir.empty()) return;  // above the root
      dir = rel_parent(dir);
    }
  }
  auto file_at = [&](const std::string& rel) { return is_regular_file(join_path(root, rel)); };
  bool package = true;  // `dir` is a package (or namespace) directory
  for (const std::string& part : ref.module) {
    const std::string sub = rel_join(dir, part);
    if (file_at(sub + "/__init__.py")) {
      out.push_back(sub + "/__init__.py");
      dir = sub;
    } else if (file_at(sub + ".py")) {
      out.push_back(sub + ".py");
      package = false;
      break;
    } else if (is_dir(join_path(root, sub))) {
      dir = sub;
    } else {
      return;
    }
  }
  if (!package) return;
  for (const std::string& name : ref.names) {
    const std::string sub = rel_join(dir, name);
    if (file_at(sub + ".py")) {
      out.push_back(sub + ".py");
    } else if (file_at(sub + "/__init__.py")) {
      out.push_back(sub + "/__init__.py");
    }
  }
}

std::string_view without_bom(std::string_view text) {
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
  return text;
}

}  // namespace

std::vector<ImportRef> scan_imports(std::string_view code) {
  const std::vector<Token> tokens = tokens_of(code);
  std::vector<ImportRef> result;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (!starts_statement(tokens, i)) continue;
    if (is_keyword(tokens[i], Keyword::kImport)) {
      std::size_t j = i + 1;
      for (;;) {
        ImportRef ref;
        ref.module = dotted(code, tokens, j);
        if (ref.module.empty()) break;
        result.push_back(std::move(ref));
        if (is_keyword(tokens[j], Keyword::kAs) && is_name(tokens[j + 1])) j += 2;
        if (tokens[j].kind != TokenKind::COMMA) break;
        ++j;
      }
      i = j - 1;
    } else if (is_keyword(tokens[i], Keyword::kFrom)) {
      std::size_t j = i + 1;
      ImportRef ref;
      ref.from = true;
      while (tokens[j].kind == TokenKind::DOT || tokens[j].kind == TokenKind::ELLIPSIS) {
        ref.level += tokens[j].kind == TokenKind::DOT ? 1 : 3;
        ++j;
      }
      ref.module = dotted(code, tokens, j);
      if (!is_keyword(tokens[j], Keyword::kImport)) continue;
      if (ref.level == 0 && ref.module.empty()) continue;
      ++j;
      const bool paren = tokens[j].kind == TokenKind::LPAR;
      if (paren) ++j;
      while (is_name(tokens[j])) {
        ref.names.push_back(name_text(code, tokens[j++]));
        if (is_keyword(tokens[j], Keyword::kAs) && is_name(tokens[j + 1])) j += 2;
        if (tokens[j].kind != TokenKind::COMMA) break;
        ++j;
      }
      result.push_back(std::move(ref));
      i = j - 1;
    }
  }
  return result;
}

bool uses_file_name(std::string_view code) {
  for (const Token& t : tokens_of(code)) {
    if (t.kind == TokenKind::NAME && t.text(code) == "__file__") return true;
  }
  return false;
}

bool edits_sys_path(std::string_view code) {
  const std::vector<Token> tokens = tokens_of(code);
  for (std::size_t i = 0; i + 3 < tokens.size(); ++i) {
    if (!(tokens[i].kind == TokenKind::NAME && tokens[i].text(code) == "sys" &&
          tokens[i + 1].kind == TokenKind::DOT && tokens[i + 2].kind == TokenKind::NAME &&
          tokens[i + 2].text(code) == "path")) {
      continue;
    }
    const Token& next = tokens[i + 3];
    if (next.kind == TokenKind::PLUSEQUAL || next.kind == TokenKind::EQUAL) return true;
    if (next.kind == TokenKind::DOT && i + 4 < tokens.size()) {
      const std::string_view method = tokens[i + 4].text(code);
      if (method == "insert" || method == "append" || method == "extend") return true;
    }
  }
  return false;
}

std::vector<std::string> imported_python_files(const std::string& root, const std::string& script) {
  const std::string script_dir = rel_parent(script);
  std::set<std::string> seen{script};
  std::deque<std::string> queue{script};
  std::size_t followed = 0;
  while (!queue.empty() && followed < kMaxFollowedFiles) {
    const std::string file = queue.front();
    queue.pop_front();
    ++followed;
    std::string text;
    try {
      text = read_text_file(join_path(root, file));
    } catch (const FileError&) {
      continue;
    }
    std::vector<std::string> found;
    for (const ImportRef& ref : scan_imports(without_bom(text))) {
      resolve(root, script_dir, file, ref, found);
    }
    for (std::string& f : found) {
      if (seen.insert(f).second) queue.push_back(std::move(f));
    }
  }
  seen.erase(script);
  return {seen.begin(), seen.end()};
}

std::optional<std::string> module_bundle_shortfall(std::string_view code, std::string_view script_path) {
  const std::string base_dir = script_base_dir(script_path);
  code = without_bom(code);
  std::set<std::string> taken;
  const std::vector<LocalModule> modules = find_local_modules(code, base_dir, taken);
  std::set<std::string> packages;
  for (const LocalModule& m : modules) {
    if (m.path.ends_with("/__init__.py")) packages.insert(m.name);
  }
  auto dotted_cause = [&](std::string_view text) -> std::optional<std::string> {
    for (const ImportRef& ref : scan_imports(text)) {
      if (ref.level > 0) continue;
      if (ref.module.empty()) continue;
      const std::string& top = ref.module.front();
      const bool submodule = ref.module.size() > 1;
      if (packages.count(top) != 0 && submodule) {
        return "package '" + top + "' is imported with its submodule '" + ref.module[0] + "." +
               ref.module[1] + "'";
      }
      if (packages.count(top) == 0 && taken.count(top) == 0) {
        const std::string dir = join_path(base_dir, top);
        if (is_dir(dir) && (submodule || !ref.names.empty())) {
          const std::string next = submodule ? ref.module[1] : ref.names.front();
          if (is_regular_file(join_path(dir, next + ".py")) || is_dir(join_path(dir, next))) {
            return "'" + top + "' is a directory of modules without __init__.py";
          }
        }
      }
    }
    return std::nullopt;
  };
  if (auto cause = dotted_cause(code)) return cause;
  if (edits_sys_path(code)) return std::string("the script changes sys.path");
  for (const LocalModule& m : modules) {
    const std::string_view text = without_bom(m.source);
    if (packages.count(m.name) != 0) {
      for (const ImportRef& ref : scan_imports(text)) {
        if (ref.level > 0) return "package '" + m.name + "' uses relative imports";
      }
    }
    if (auto cause = dotted_cause(text)) return cause;
    if (uses_file_name(text)) return "module '" + m.name + "' uses __file__";
    if (edits_sys_path(text)) return "module '" + m.name + "' changes sys.path";
  }
  return std::nullopt;
}

std::string module_bundle_hint(std::string_view cause) {
  return "the module bundle cannot carry this script as it runs in place (" + std::string(cause) +
         "); use --project to ship the project's files";
}

}  // namespace pelmora
