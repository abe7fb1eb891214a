// The walk of a project root. Directories are read by path; nothing is followed through a
// symbolic link, so the walk never leaves the root.
#include "agent/bundle/project_files.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "agent/platform/errors.h"
#include "agent/platform/files.h"

namespace pelmora {

namespace {

// Deeper directories are left out (a path this long would not unpack anywhere sensible).
constexpr std::size_t kMaxDepth = 128;

constexpr std::string_view kSecretRules =
    ".env*\n"
    "*.pem\n"
    "*.key\n"
    "*.p12\n"
    "*.pfx\n"
    "*.keystore\n"
    "id_rsa*\n"
    "id_dsa*\n"
    "id_ecdsa*\n"
    "id_ed25519*\n"
    ".netrc\n"
    ".pgpass\n"
    ".pypirc\n"
    ".git-credentials\n"
    ".htpasswd\n"
    "credentials.json\n"
    "service-account*.json\n"
    "application_default_credentials.json\n"
    "**/.aws/credentials\n"
    "**/.aws/config\n"
    "**/.azure/\n"
    "**/.config/gcloud/\n"
    "**/.kube/config\n"
    "**/.docker/config.json\n"
    "**/.ssh/\n";

struct FixedName {
  std::string_view name;
  std::string_view reason;
};

constexpr FixedName kFixedDirs[] = {
    {".git", "version control"},         {".hg", "version control"},
    {".svn", "version control"},         {".bzr", "version control"},
    {"_darcs", "version control"},       {".jj", "version control"},
    {"CVS", "version control"},          {"__pycache__", "Python byte-code cache"},
    {"node_modules", "node modules"},    {".mypy_cache", "tool cache"},
    {".pytest_cache", "tool cache"},     {".ruff_cache", "tool cache"},
    {".tox", "tool cache"},              {".nox", "tool cache"},
    {".hypothesis", "tool cache"},       {".ipynb_checkpoints", "tool cache"},
    {".pytype", "tool cache"},           {".pyre", "tool cache"},
};

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

std::string rel_join(const std::string& dir, std::string_view name) {
  return dir.empty() ? std::string(name) : dir + "/" + std::string(name);
}

std::string real_path(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return {};
  return buffer;
}

std::string ignore_reason(const IgnorePattern& p, const std::string& path) {
  if (p.origin == kSecretRulesOrigin) {
    return "may hold a secret (the include rule '!/" + path + "' in .pelmoraignore ships it)";
  }
  return "ignored by " + p.origin + " line " + std::to_string(p.line);
}

std::vector<IgnorePattern> read_rules(const std::string& abs_dir, const std::string& rel_dir) {
  std::vector<IgnorePattern> level;
  for (std::string_view file : {".gitignore", ".pelmoraignore"}) {
    const std::string path = join_path(abs_dir, file);
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    std::string text;
    try {
      text = read_file_bytes(path);
    } catch (const FileError&) {
      continue;  // an unreadable ignore file ignores nothing, as in git
    }
    std::vector<IgnorePattern> rules = parse_ignore_text(text, rel_dir, rel_join(rel_dir, file));
    level.insert(level.end(), std::make_move_iterator(rules.begin()),
                 std::make_move_iterator(rules.end()));
  }
  return level;
}

class Walker {
 public:
  Walker(const std::string& root, std::uint64_t max_file_size, ProjectSelection& out)
      : _root(root), _real_root(real_path(root)), _max_file_size(max_file_size),
        _rules(secret_file_rules()), _out(out) {}

  void walk_root() {
    if (_real_root.empty()) throw FileError(errno, errno_text(errno));
    if (DirPtr probe{::opendir(_root.c_str())}; !probe) throw FileError(errno, errno_text(errno));
    walk("", 0);
  }

 private:
  void leave_out(std::string path, std::string reason) {
    _out.left_out.push_back({std::move(path), std::move(reason)});
  }

  void walk(const std::string& rel_dir, std::size_t depth) {
    const std::string abs_dir = rel_dir.empty() ? _root : join_path(_root, rel_dir);
    DirPtr dir{::opendir(abs_dir.c_str())};
    if (!dir) {
      leave_out(rel_dir + "/", "cannot be read: " + errno_text(errno));
      return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      names.emplace_back(name);
    }
    dir.reset();
    std::sort(names.begin(), names.end());
    _rules.push(read_rules(abs_dir, rel_dir));
    for (const std::string& name : names) visit(rel_dir, name, depth);
    _rules.pop();
  }

  void visit(const std::string& rel_dir, const std::string& name, std::size_t depth) {
    const std::string rel = rel_join(rel_dir, name);
    const std::string abs = join_path(_root, rel);
    struct stat st{};
    if (::lstat(abs.c_str(), &st) != 0) {
      if (errno != ENOENT) leave_out(rel, "cannot be read: " + errno_text(errno));
      return;  // gone since the directory was read
    }
    const bool is_dir = S_ISDIR(st.st_mode);
    for (const FixedName& fixed : kFixedDirs) {
      if (name == fixed.name && (is_dir || name == ".git")) {
        leave_out(is_dir ? rel + "/" : rel, std::string(fixed.reason));
        return;
      }
    }
    if (is_dir && is_regular_file(join_path(abs, "pyvenv.cfg"))) {
      leave_out(rel + "/", "virtual environment");
      return;
    }
    if (const IgnorePattern* hit = _rules.match(rel, is_dir); hit && !hit->negated) {
      leave_out(is_dir ? rel + "/" : rel, ignore_reason(*hit, rel));
      return;
    }
    if (is_dir) {
      if (depth + 1 >= kMaxDepth) {
        leave_out(rel + "/", "nested too deep");
        return;
      }
      walk(rel, depth + 1);
    } else if (S_ISLNK(st.st_mode)) {
      visit_link(rel_dir, rel, abs);
    } else if (S_ISREG(st.st_mode)) {
      const auto size = static_cast<std::uint64_t>(st.st_size);
      if (size > _max_file_size) {
        leave_out(rel, "larger than the cap per file (" + std::to_string(size) + " > " +
                           std::to_string(_max_file_size) + " bytes)");
        return;
      }
      _out.entries.push_back({.path = rel, .size = size, .executable = (st.st_mode & S_IXUSR) != 0});
    } else {
      leave_out(rel, "not a regular file");
    }
  }

  void visit_link(const std::string& rel_dir, const std::string& rel, const std::string& abs) {
    const std::string target = real_path(abs);
    if (target.empty()) {
      leave_out(rel, "symbolic link to nothing");
      return;
    }
    std::string inside;
    if (target == _real_root) {
      inside = "";
    } else if (target.size() > _real_root.size() && target.starts_with(_real_root) &&
               (target[_real_root.size()] == '/' || _real_root == "/")) {
      inside = target.substr(_real_root == "/" ? 1 : _real_root.size() + 1);
    } else {
      leave_out(rel, "symbolic link that leads out of the project");
      return;
    }
    // The target relative to the link's directory: up to the root, then down.
    std::string link;
    if (!rel_dir.empty()) {
      const std::size_t depth = static_cast<std::size_t>(std::count(rel_dir.begin(), rel_dir.end(), '/')) + 1;
      for (std::size_t i = 0; i < depth; ++i) link += i == 0 ? ".." : "/..";
    }
    if (!inside.empty()) link = link.empty() ? inside : link + "/" + inside;
    if (link.empty()) link = ".";
    _out.entries.push_back({.path = rel, .symlink = true, .link_target = link});
  }

  const std::string& _root;
  std::string _real_root;
  std::uint64_t _max_file_size;
  IgnoreStack _rules;
  ProjectSelection& _out;
};

}  // namespace

std::vector<IgnorePattern> secret_file_rules() {
  return parse_ignore_text(kSecretRules, "", kSecretRulesOrigin);
}

ProjectSelection select_project_files(const std::string& root, std::uint64_t max_file_size) {
  ProjectSelection selection;
  Walker(root, max_file_size, selection).walk_root();
  return selection;
}

}  // namespace pelmora
