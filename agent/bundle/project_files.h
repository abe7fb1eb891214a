#pragma once
// The files of a project: a walk of its root that decides, for every entry, whether it
// ships or why it is left out.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "agent/bundle/ignore_rules.h"

namespace pelmora {

// One entry that ships. Paths are byte strings relative to the root, '/' between parts.
struct ProjectEntry {
  std::string path;
  bool symlink = false;      // a link to somewhere inside the root
  std::string link_target;   // symlink: the target, relative to the link's directory
  std::uint64_t size = 0;    // regular file: its size when the walk saw it
  bool executable = false;   // regular file: the owner may execute it
};

// One entry left out: a directory (its path ends with '/', nothing under it is looked at)
// or a file, and why, as a short phrase.
struct LeftOutEntry {
  std::string path;
  std::string reason;
};

struct ProjectSelection {
  std::vector<ProjectEntry> entries;  // in walk order: names sorted bytewise per directory
  std::vector<LeftOutEntry> left_out;  // in walk order
};

// The origin of the default rules for files that usually hold secrets.
inline constexpr std::string_view kSecretRulesOrigin = "(secret files)";

// The default rules for files that usually hold secrets (.env*, *.pem, *.key, id_rsa*,
// .netrc, cloud credential files...): the lowest-precedence level of every walk, so that
// an include rule ("!.env.example") of an ignore file ships such a file.
std::vector<IgnorePattern> secret_file_rules();

// Walks the directory `root` (absolute) and decides every entry:
//  - left out whatever the rules say: version-control directories (.git, .hg, .svn, ...,
//    also a .git file), __pycache__, node_modules, tool caches (.mypy_cache,
//    .pytest_cache, .ruff_cache, .tox, ...), virtual environments (a directory holding
//    pyvenv.cfg);
//  - then the ignore rules: every directory's .gitignore and .pelmoraignore (git's
//    precedence; an excluded directory is not entered), then secret_file_rules();
//  - symbolic links: shipped as links when their target (resolved) lies inside the root,
//    else left out; never followed;
//  - regular files larger than `max_file_size`, and anything else (sockets, devices), are
//    left out.
// Throws FileError when the root cannot be read; a subdirectory that cannot be read is
// left out with the reason.
ProjectSelection select_project_files(const std::string& root, std::uint64_t max_file_size);

}  // namespace pelmora
