// Ignore rules decide as git does: each tree is walked by select_project_files and asked of
// `git check-ignore --no-index` in a scratch repository; the two must leave out the same
// files.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "agent/bundle/ignore_rules.h"
#include "agent/bundle/project_files.h"
#include "tests/python/python_oracle.h"

namespace pelmora {
namespace {

using Files = std::map<std::string, std::string>;  // relative path -> bytes

struct Tree {
  const char* title;
  Files files;  // ignore files included
};

bool have_git() { return std::system("git --version >/dev/null 2>&1") == 0; }

// The files of `files` that git leaves out.
std::set<std::string> git_ignored(const std::string& dir, const Files& files) {
  std::string list;
  for (const auto& [path, bytes] : files) list += path + '\0';
  testing::TempDir scratch;
  const std::string input = scratch.write("paths", list);
  const std::string env = "HOME=" + testing::shell_quote(scratch.path()) +
                          " GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null ";
  const auto init = testing::run_command("cd " + testing::shell_quote(dir) + " && " + env +
                                         "git init -q . 2>&1");
  EXPECT_EQ(init.status, 0) << init.out;
  const auto result = testing::run_command("cd " + testing::shell_quote(dir) + " && " + env +
                                           "git check-ignore --no-index --stdin -z < " +
                                           testing::shell_quote(input));
  EXPECT_LE(result.status, 1) << result.out;
  std::set<std::string> ignored;
  std::size_t start = 0;
  for (std::size_t nul; (nul = result.out.find('\0', start)) != std::string::npos; start = nul + 1) {
    ignored.insert(result.out.substr(start, nul - start));
  }
  return ignored;
}

// The files of `files` that the walk leaves out (itself, or a directory above it).
std::set<std::string> walk_ignored(const std::string& dir, const Files& files) {
  const ProjectSelection selection = select_project_files(dir, UINT64_MAX);
  std::set<std::string> ignored;
  for (const auto& [path, bytes] : files) {
    for (const LeftOutEntry& l : selection.left_out) {
      if (l.path == ".git/") continue;
      if (l.path == path || (l.path.ends_with('/') && path.starts_with(l.path))) ignored.insert(path);
    }
  }
  return ignored;
}

class IgnoreRulesTest : public ::testing::TestWithParam<Tree> {};

TEST_P(IgnoreRulesTest, LeavesOutWhatGitIgnores) {
  if (!have_git()) GTEST_SKIP() << "git not found";
  testing::TempDir dir;
  for (const auto& [path, bytes] : GetParam().files) dir.write(path, bytes);
  const std::set<std::string> expected = git_ignored(dir.path(), GetParam().files);
  EXPECT_EQ(walk_ignored(dir.path(), GetParam().files), expected);
}

void PrintTo(const Tree& t, std::ostream* os) { *os << t.title; }

INSTANTIATE_TEST_SUITE_P(
    Trees, IgnoreRulesTest,
    ::testing::Values(
        Tree{"negation",
             {{".gitignore", "*.log\n!keep.log\n"}, {"a.log", ""}, {"keep.log", ""}, {"sub/b.log", ""},
              {"sub/keep.log", ""}, {"c.txt", ""}}},
        Tree{"anchoring",
             {{".gitignore", "/build\nout/\ndist\nsub/*.c\n"}, {"build/x", ""}, {"src/build/y", ""},
              {"out/a", ""}, {"src/out/b", ""}, {"out2", ""}, {"dist", ""}, {"x/dist/z", ""},
              {"sub/m.c", ""}, {"sub/deep/n.c", ""}, {"other/sub/k.c", ""}}},
        Tree{"dir_only_pattern_and_a_file",
             {{".gitignore", "cache/\n"}, {"cache", "a file"}, {"x/cache/y", ""}}},
        Tree{"double_star",
             {{".gitignore", "doc/**/*.pdf\n**/tmp\na/**\n**/x/**/y\nfoo**bar\n"},
              {"doc/a.pdf", ""}, {"doc/b/c/d.pdf", ""}, {"doc/e.txt", ""}, {"tmp", ""},
              {"p/q/tmp", ""}, {"a/b/c", ""}, {"ab/c", ""}, {"x/y", ""}, {"m/x/n/o/y", ""},
              {"fooZbar", ""}, {"foo/bar", ""}, {"top.txt", ""}}},
        Tree{"stars_and_slashes",
             {{".gitignore", "a*z\n*/*.txt\nx*y*z/\nm*n/o*p\n"}, {"abz", ""}, {"abcz", ""}, {"azb", ""},
              {"d/e.txt", ""}, {"d/f/e.txt", ""}, {"xAyBz/f", ""}, {"x/y/z/f", ""}, {"mXn/oYp", ""},
              {"mn/op/q", ""}, {"m/n/o/p", ""}}},
        Tree{"escapes_and_spaces",
             {{".gitignore", "\\#hash\n\\!bang\ntrailing\\ \nplain   \n#comment\n\n  lead\nst\\*r\n"},
              {"#hash", ""}, {"!bang", ""}, {"trailing ", ""}, {"plain", ""}, {"  lead", ""},
              {"st*r", ""}, {"star", ""}, {"comment", ""}}},
        Tree{"brackets",
             {{".gitignore", "[a-c]*.txt\n[!x]y\n[[:digit:]]*\n?.md\n*.py[co]\n[]]z\n[a-]w\n"},
              {"apple.txt", ""}, {"dog.txt", ""}, {"ay", ""}, {"xy", ""}, {"7up", ""}, {"a.md", ""},
              {"ab.md", ""}, {"m.pyc", ""}, {"m.pyo", ""}, {"m.py", ""}, {"]z", ""}, {"-w", ""},
              {"bw", ""}}},
        Tree{"nested_files",
             {{".gitignore", "*.dat\nlogs/\nfoo/*\n!foo/bar\n"}, {"sub/.gitignore", "!important.dat\n/local\n"},
              {"sub/important.dat", ""}, {"sub/other.dat", ""}, {"sub/local", ""}, {"local", ""},
              {"logs/keep.txt", ""}, {"foo/bar/z", ""}, {"foo/baz", ""}, {"sub/deeper/.gitignore", "*\n!*.keep\n"},
              {"sub/deeper/a.keep", ""}, {"sub/deeper/b", ""}}},
        Tree{"re_include_inside_excluded_dir",
             {{".gitignore", "data/\n!data/keep.csv\n"}, {"data/keep.csv", ""}, {"data/x.csv", ""}}},
        Tree{"non_utf8_and_wildcards_on_bytes",
             {{".gitignore", "*.bin\ncaf?.txt\n"}, {"n\xffm.bin", ""}, {"caf\xe9.txt", ""},
              {"caf\xc3\xa9.txt", ""}}}),
    [](const ::testing::TestParamInfo<Tree>& param_info) { return std::string(param_info.param.title); });

TEST(Wildmatch, StarsBracketsAndAborts) {
  EXPECT_TRUE(wildmatch("a/**/b", "a/b"));
  EXPECT_TRUE(wildmatch("a/**/b", "a/x/y/b"));
  EXPECT_FALSE(wildmatch("a/*/b", "a/x/y/b"));
  EXPECT_TRUE(wildmatch("**", "x/y/z"));
  EXPECT_FALSE(wildmatch("*", "x/y"));
  EXPECT_FALSE(wildmatch("[a", "a"));          // malformed bracket
  EXPECT_FALSE(wildmatch("[[:nope:]]", "a"));  // unknown class
  EXPECT_FALSE(wildmatch("x\\", "x"));         // trailing backslash
  // Many stars against a long text that does not match end quickly (no exponential search).
  EXPECT_FALSE(wildmatch("*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*a*b", std::string(4000, 'a')));
  EXPECT_FALSE(wildmatch("**/**/**/**/**/**/**/**/**/**/b", std::string(2000, 'a') + "/c"));
}

}  // namespace
}  // namespace pelmora
