// Ignore rules. The matcher follows git's wildmatch step for step, including its two abort
// results, which keep a pattern with many stars linear in practice instead of exponential.
#include "agent/bundle/ignore_rules.h"

#include <cassert>
#include <cctype>

namespace pelmora {

namespace {

enum class Wild { kMatch, kNoMatch, kAbortAll, kAbortToStarStar };

// The byte at `i`, or 0 past the end (the patterns and paths hold no NUL).
unsigned char at(std::string_view s, std::size_t i) {
  return i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
}

bool is_glob_special(unsigned char c) { return c == '*' || c == '?' || c == '[' || c == '\\'; }

bool in_class(std::string_view name, unsigned char c) {
  const int ch = c;
  if (name == "alnum") return std::isalnum(ch) != 0;
  if (name == "alpha") return std::isalpha(ch) != 0;
  if (name == "blank") return c == ' ' || c == '\t';
  if (name == "cntrl") return std::iscntrl(ch) != 0;
  if (name == "digit") return std::isdigit(ch) != 0;
  if (name == "graph") return std::isgraph(ch) != 0;
  if (name == "lower") return std::islower(ch) != 0;
  if (name == "print") return std::isprint(ch) != 0;
  if (name == "punct") return std::ispunct(ch) != 0;
  if (name == "space") return std::isspace(ch) != 0;
  if (name == "upper") return std::isupper(ch) != 0;
  return std::isxdigit(ch) != 0;  // "xdigit"; the caller has checked the name
}

bool is_class_name(std::string_view name) {
  static constexpr std::string_view kNames[] = {"alnum", "alpha", "blank", "cntrl",
                                                "digit", "graph", "lower", "print",
                                                "punct", "space", "upper", "xdigit"};
  for (std::string_view n : kNames) {
    if (n == name) return true;
  }
  return false;
}

Wild dowild(std::string_view pat, std::size_t p, std::string_view text, std::size_t t) {
  for (; p < pat.size(); ++p, ++t) {
    unsigned char p_ch = at(pat, p);
    unsigned char t_ch = at(text, t);
    if (t >= text.size() && p_ch != '*') return Wild::kAbortAll;
    switch (p_ch) {
      case '\\':
        // Literal match with the next character; a trailing '\' matches nothing.
        p_ch = at(pat, ++p);
        if (t_ch != p_ch || p >= pat.size()) return Wild::kNoMatch;
        continue;
      case '?':
        if (t_ch == '/') return Wild::kNoMatch;
        continue;
      case '*': {
        bool match_slash = false;
        if (at(pat, ++p) == '*') {
          const std::size_t first_star = p - 1;
          while (at(pat, ++p) == '*') {
          }
          const bool after_slash = first_star == 0 || at(pat, first_star - 1) == '/';
          const bool before_slash = p >= pat.size() || at(pat, p) == '/' ||
                                    (at(pat, p) == '\\' && at(pat, p + 1) == '/');
          if (after_slash && before_slash) {
            if (at(pat, p) == '/' && dowild(pat, p + 1, text, t) == Wild::kMatch) {
              return Wild::kMatch;
            }
            match_slash = true;
          }
        }
        if (p >= pat.size()) {
          // A trailing "**" matches everything; a trailing '*' only what has no '/'.
          if (!match_slash && text.find('/', t) != std::string_view::npos) {
            return Wild::kNoMatch;
          }
          return Wild::kMatch;
        }
        if (!match_slash && at(pat, p) == '/') {
          // "*/": the star takes the rest of this directory's name.
          const std::size_t slash = text.find('/', t);
          if (slash == std::string_view::npos) return Wild::kAbortAll;
          t = slash;
          break;  // the loop steps over the two slashes
        }
        for (;;) {
          if (t >= text.size()) break;
          // A literal after the star: skip to where it occurs next (never past a '/'
          // unless the star matches slashes).
          if (!is_glob_special(at(pat, p))) {
            const unsigned char want = at(pat, p);
            while (t < text.size() && at(text, t) != want && (match_slash || at(text, t) != '/')) {
              ++t;
            }
            // What the plain loop below would end with at the same place: the end of the
            // text, or a '/' this star cannot cross.
            if (t >= text.size()) return Wild::kAbortAll;
            if (at(text, t) != want) return Wild::kAbortToStarStar;
          }
          const Wild matched = dowild(pat, p, text, t);
          if (matched != Wild::kNoMatch) {
            if (!match_slash || matched != Wild::kAbortToStarStar) return matched;
          } else if (!match_slash && at(text, t) == '/') {
            return Wild::kAbortToStarStar;
          }
          ++t;
        }
        return Wild::kAbortAll;
      }
      case '[': {
        p_ch = at(pat, ++p);
        if (p_ch == '^') p_ch = '!';
        const bool negated = p_ch == '!';
        if (negated) p_ch = at(pat, ++p);
        unsigned char prev_ch = 0;
        bool matched = false;
        do {
          if (p >= pat.size()) return Wild::kAbortAll;
          if (p_ch == '\\') {
            p_ch = at(pat, ++p);
            if (p >= pat.size()) return Wild::kAbortAll;
            if (t_ch == p_ch) matched = true;
          } else if (p_ch == '-' && prev_ch != 0 && p + 1 < pat.size() && at(pat, p + 1) != ']') {
            p_ch = at(pat, ++p);
            if (p_ch == '\\') {
              p_ch = at(pat, ++p);
              if (p >= pat.size()) return Wild::kAbortAll;
            }
            if (t_ch <= p_ch && t_ch >= prev_ch) matched = true;
            p_ch = 0;  // a range does not start another one
          } else if (p_ch == '[' && at(pat, p + 1) == ':') {
            const std::size_t s = p + 2;
            std::size_t q = s;
            while (q < pat.size() && at(pat, q) != ']') ++q;
            if (q >= pat.size()) return Wild::kAbortAll;
            if (q == s || at(pat, q - 1) != ':') {
              // No ":]": an ordinary '[' in the set.
              if (t_ch == '[') matched = true;
              continue;
            }
            const std::string_view name = pat.substr(s, q - 1 - s);
            if (!is_class_name(name)) return Wild::kAbortAll;
            if (in_class(name, t_ch)) matched = true;
            p = q;
            p_ch = 0;
          } else if (t_ch == p_ch) {
            matched = true;
          }
        } while (prev_ch = p_ch, p_ch = at(pat, ++p), p < pat.size() && p_ch != ']');
        if (p >= pat.size()) return Wild::kAbortAll;
        if (matched == negated || t_ch == '/') return Wild::kNoMatch;
        continue;
      }
      default:
        if (t_ch != p_ch) return Wild::kNoMatch;
        continue;
    }
  }
  return t >= text.size() ? Wild::kMatch : Wild::kNoMatch;
}

// git's trim_trailing_spaces: trailing blanks go unless the first of them is quoted.
std::string_view trim_trailing_spaces(std::string_view line) {
  std::size_t end = line.size();
  std::size_t last_space = std::string_view::npos;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] == ' ') {
      if (last_space == std::string_view::npos) last_space = i;
    } else if (line[i] == '\\') {
      ++i;
      if (i >= line.size()) return line;
      last_space = std::string_view::npos;
    } else {
      last_space = std::string_view::npos;
    }
  }
  if (last_space != std::string_view::npos) end = last_space;
  return line.substr(0, end);
}

}  // namespace

bool wildmatch(std::string_view pattern, std::string_view text) {
  return dowild(pattern, 0, text, 0) == Wild::kMatch;
}

std::vector<IgnorePattern> parse_ignore_text(std::string_view text, std::string_view base,
                                             std::string_view origin) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (text.substr(0, kBom.size()) == kBom) text.remove_prefix(kBom.size());
  std::vector<IgnorePattern> result;
  std::size_t line_no = 0;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
    ++line_no;
    line = line.substr(0, line.find('\0'));
    if (line.empty() || line.front() == '#') continue;
    line = trim_trailing_spaces(line);
    IgnorePattern pattern;
    if (!line.empty() && line.front() == '!') {
      pattern.negated = true;
      line.remove_prefix(1);
    }
    if (!line.empty() && line.back() == '/') {
      pattern.dir_only = true;
      line.remove_suffix(1);
    }
    if (line.empty()) continue;
    pattern.basename = line.find('/') == std::string_view::npos;
    if (line.front() == '/') line.remove_prefix(1);
    if (line.empty()) continue;  // "/" and "//" match nothing, as in git
    pattern.pattern = std::string(line);
    pattern.base = std::string(base);
    pattern.origin = std::string(origin);
    pattern.line = line_no;
    result.push_back(std::move(pattern));
  }
  return result;
}

bool pattern_matches(const IgnorePattern& pattern, std::string_view path, bool is_dir) {
  if (pattern.dir_only && !is_dir) return false;
  if (pattern.basename) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return wildmatch(pattern.pattern, name);
  }
  std::string_view rel = path;
  if (!pattern.base.empty()) {
    assert(path.size() > pattern.base.size() && path.substr(0, pattern.base.size()) == pattern.base &&
           path[pattern.base.size()] == '/');
    rel.remove_prefix(pattern.base.size() + 1);
  }
  return wildmatch(pattern.pattern, rel);
}

IgnoreStack::IgnoreStack(std::vector<IgnorePattern> defaults) : _defaults(std::move(defaults)) {}

void IgnoreStack::push(std::vector<IgnorePattern> level) { _levels.push_back(std::move(level)); }

void IgnoreStack::pop() {
  assert(!_levels.empty());
  _levels.pop_back();
}

const IgnorePattern* IgnoreStack::match(std::string_view path, bool is_dir) const {
  for (auto level = _levels.rbegin(); level != _levels.rend(); ++level) {
    for (auto it = level->rbegin(); it != level->rend(); ++it) {
      if (pattern_matches(*it, path, is_dir)) return &*it;
    }
  }
  for (auto it = _defaults.rbegin(); it != _defaults.rend(); ++it) {
    if (pattern_matches(*it, path, is_dir)) return &*it;
  }
  return nullptr;
}

}  // namespace pelmora
