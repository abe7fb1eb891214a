#pragma once
// Ignore rules in the syntax of gitignore(5): pattern lines, the wildcard matcher, and the
// precedence of nested ignore files, as git itself applies them.
//
// Paths are byte strings relative to the project root with '/' between parts; nothing here
// decodes them, so names that are not UTF-8 match byte by byte as in git.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora {

// git's wildmatch with WM_PATHNAME: '*' and '?' and bracket expressions never match '/';
// "**" matches across directories when it stands alone between separators ("**/x",
// "a/**/b", "a/**"), and is an ordinary '*' elsewhere; '\' quotes the next character;
// "[!...]" and "[^...]" negate; "[:alpha:]" and the other POSIX classes work inside
// brackets. A malformed bracket expression matches nothing.
bool wildmatch(std::string_view pattern, std::string_view text);

// One pattern line of an ignore file.
struct IgnorePattern {
  std::string pattern;  // without '!', a leading '/' and a trailing '/'
  std::string base;     // the directory of its file, relative to the root ("" for the root)
  std::string origin;   // the file it comes from, for messages ("sub/.gitignore")
  std::size_t line = 0;
  bool negated = false;   // "!pattern": an include rule
  bool dir_only = false;  // "pattern/": matches directories only
  bool basename = false;  // no '/' inside: matches the last part at any depth below base
};

// The patterns of an ignore file's text, in file order: blank lines and '#' comments
// skipped, trailing spaces trimmed unless quoted with '\', a leading UTF-8 byte-order mark
// dropped, everything after a NUL byte ignored on its line. `base` and `origin` are copied
// into each pattern.
std::vector<IgnorePattern> parse_ignore_text(std::string_view text, std::string_view base,
                                             std::string_view origin);

// True when `pattern` matches `path` (relative to the root; `is_dir` says whether it names
// a directory). The negation flag is not looked at.
// Requires: `path` lies under pattern.base.
bool pattern_matches(const IgnorePattern& pattern, std::string_view path, bool is_dir);

// The rules in force while a tree is walked: one level of patterns per directory entered
// (its .gitignore, then its .pelmoraignore, so the latter wins), deeper levels before
// shallower, the last matching line of a level first; below them all, a list of defaults
// with the lowest precedence (as git's global excludes file).
//
//   IgnoreStack rules(defaults);
//   rules.push(parse_ignore_text(text, "", ".gitignore"));
//   const IgnorePattern* hit = rules.match("build/out.o", false);
//   bool left_out = hit && !hit->negated;
class IgnoreStack {
 public:
  explicit IgnoreStack(std::vector<IgnorePattern> defaults = {});

  void push(std::vector<IgnorePattern> level);
  // Requires: a level was pushed.
  void pop();

  // The pattern that decides `path`, or nullptr when none matches. The result stays valid
  // until the level that holds it is popped.
  // Requires: every pushed level's base is a directory above `path` (or the root).
  const IgnorePattern* match(std::string_view path, bool is_dir) const;

 private:
  std::vector<IgnorePattern> _defaults;
  std::vector<std::vector<IgnorePattern>> _levels;
};

}  // namespace pelmora
