#include "agent/bundle/discover.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent/platform/files.h"
#include "tests/python/python_oracle.h"

namespace pelmora {
namespace {

std::vector<std::string> keys(const ModuleMap& m) {
  std::vector<std::string> out;
  for (const auto& entry : m) out.push_back(entry.first);
  return out;
}

using Keys = std::vector<std::string>;

class Discover : public ::testing::Test {
 protected:
  testing::TempDir dir;
  void write(const std::string& name, const std::string& text) { dir.write(name, text); }
  ModuleMap discover(const std::string& code) { return _discover_local_modules(code, dir.path()); }
};

TEST_F(Discover, EmptyOrInvalidScriptTakesNothing) {
  write("a.py", "x = 1\n");
  EXPECT_TRUE(discover("").empty());
  EXPECT_TRUE(discover("import a\nx = (\n").empty());  // the error is after the import
}

TEST_F(Discover, ModuleFileAndPackage) {
  write("a.py", "A = 1\n");
  write("p/__init__.py", "P = 1\n");
  write("p/sub.py", "S = 1\n");
  const ModuleMap m = discover("import a.b\nimport p.sub\nimport os, json\n");
  EXPECT_EQ(keys(m), Keys({"a", "p"}));
  EXPECT_EQ(m[0].second, "A = 1\n");
  EXPECT_EQ(m[1].second, "P = 1\n");  // only the package's __init__.py
}

TEST_F(Discover, ModuleFileWinsOverPackage) {
  write("a.py", "FILE\n");
  write("a/__init__.py", "PACKAGE\n");
  const ModuleMap m = discover("import a");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].second, "FILE\n");
}

TEST_F(Discover, DependenciesComeFirst) {
  write("a.py", "import c\n");
  write("b.py", "");
  write("c.py", "");
  EXPECT_EQ(keys(discover("import b\nimport a\n")), Keys({"c", "a", "b"}));
}

TEST_F(Discover, CyclesEnd) {
  write("a.py", "import b\n");
  write("b.py", "import a\n");
  EXPECT_EQ(keys(discover("import a")), Keys({"b", "a"}));
  write("self.py", "import self\n");
  EXPECT_EQ(keys(discover("import self")), Keys({"self"}));
}

TEST_F(Discover, PackageImportsFromItsOwnDirectory) {
  write("pkg/__init__.py", "from .common import f\n");
  write("pkg/common.py", "def f(): pass\n");
  write("common.py", "WRONG\n");
  const ModuleMap m = discover("import pkg");
  EXPECT_EQ(keys(m), Keys({"common", "pkg"}));
  EXPECT_EQ(m[0].second, "def f(): pass\n");
}

TEST_F(Discover, LocalFileShadowsStandardModule) {
  write("os.py", "LOCAL\n");
  EXPECT_EQ(keys(discover("import os")), Keys({"os"}));
}

TEST_F(Discover, ScriptImportedBackByItsModuleName) {
  write("main.py", "import helper\n");
  write("helper.py", "import main\n");
  EXPECT_EQ(keys(discover("import helper\n")), Keys({"main", "helper"}));
}

TEST_F(Discover, InvalidModuleIsTakenButNotFollowed) {
  write("a.py", "import b\nx = = 1\n");
  write("b.py", "");
  const ModuleMap m = discover("import a");
  EXPECT_EQ(keys(m), Keys({"a"}));
  EXPECT_EQ(m[0].second, "import b\nx = = 1\n");
}

TEST_F(Discover, ModuleTextIsDecodedAndNormalised) {
  write("a.py", "x = '\xff'\r\ny = 1\r");
  const ModuleMap m = discover("import a");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].second, "x = '\xef\xbf\xbd'\ny = 1\n");
}

TEST_F(Discover, SeenNamesAreSkippedAndGrow) {
  write("a.py", "import b\n");
  write("b.py", "");
  std::set<std::string> seen = {"b"};
  EXPECT_EQ(keys(_discover_local_modules("import a", dir.path(), seen)), Keys({"a"}));
  EXPECT_EQ(seen, std::set<std::string>({"a", "b"}));
}

TEST_F(Discover, NamesInCodePointOrder) {
  write("B.py", "");
  write("a.py", "");
  write("\xc3\xa9.py", "");  // é sorts after ASCII
  EXPECT_EQ(keys(discover("import \xc3\xa9, a, B")), Keys({"B", "a", "\xc3\xa9"}));
}

TEST_F(Discover, UnreadableModuleFailsTheWholeCall) {
  // /proc/self/mem is a regular file whose first page cannot be read (EIO), even by root.
  std::filesystem::create_symlink("/proc/self/mem", dir.path() + "/bad.py");
  write("good.py", "");
  std::set<std::string> seen;
  EXPECT_THROW(_discover_local_modules("import good, bad", dir.path(), seen), FileError);
  EXPECT_EQ(seen.count("bad"), 1u);
}

TEST_F(Discover, SymlinkLoopsAndDirectoriesAreNoFiles) {
  std::filesystem::create_symlink(dir.path() + "/loop.py", dir.path() + "/loop.py");
  std::filesystem::create_directory(dir.path() + "/d.py");
  std::filesystem::create_directory(dir.path() + "/nopkg");
  std::filesystem::create_symlink(dir.path(), dir.path() + "/up");
  write("up2/__init__.py", "import up2\nimport up\n");
  EXPECT_EQ(keys(discover("import loop, d, nopkg, up, up2")), Keys({"up2"}));
}

TEST_F(Discover, LongChainNeedsNoDeepStack) {
  constexpr int kModules = 1000;
  for (int i = 0; i < kModules; ++i) {
    write("m" + std::to_string(i) + ".py", "import m" + std::to_string(i + 1) + "\n");
  }
  const ModuleMap m = discover("import m0");
  ASSERT_EQ(m.size(), static_cast<std::size_t>(kModules));
  EXPECT_EQ(m.front().first, "m" + std::to_string(kModules - 1));
  EXPECT_EQ(m.back().first, "m0");
}

TEST_F(Discover, MissingBaseDirectoryFindsNothing) {
  EXPECT_TRUE(_discover_local_modules("import a", dir.path() + "/nowhere").empty());
}

// The explicit stack gives the same order as the recursive definition, checked against a
// direct recursive rendering on a small random module graph.
ModuleMap recursive(const std::string& code, const std::string& base, std::set<std::string>& seen);

TEST_F(Discover, OrderEqualsRecursiveDefinition) {
  unsigned state = 12345;
  auto rnd = [&state](unsigned n) {
    state = state * 1103515245u + 12345u;
    return (state >> 16) % n;
  };
  for (int round = 0; round < 20; ++round) {
    testing::TempDir d;
    const int n = 12;
    for (int i = 0; i < n; ++i) {
      std::string text;
      for (unsigned k = rnd(4); k > 0; --k) text += "import m" + std::to_string(rnd(n + 3)) + "\n";
      if (rnd(5) == 0) {
        d.write("m" + std::to_string(i) + "/__init__.py", text + "from . import x\n");
      } else {
        d.write("m" + std::to_string(i) + ".py", text);
      }
    }
    const std::string script = "import m0, m3, m7, m11\n";
    std::set<std::string> s1, s2;
    EXPECT_EQ(_discover_local_modules(script, d.path(), s1), recursive(script, d.path(), s2));
    EXPECT_EQ(s1, s2);
  }
}

}  // namespace

}  // namespace pelmora

#include "python/source.h"

namespace pelmora {
namespace {

// The recursive definition, written out directly (small inputs only).
ModuleMap recursive(const std::string& code, const std::string& base, std::set<std::string>& seen) {
  ModuleMap result;
  const SourceCheck scan = check_source(code);
  for (const std::string& name : scan.imports) {
    if (seen.count(name) != 0) continue;
    std::string dir = base;
    std::string file = join_path(base, name + ".py");
    if (!is_regular_file(file)) {
      dir = join_path(base, name);
      file = join_path(dir, "__init__.py");
      if (!is_regular_file(file)) continue;
    }
    seen.insert(name);
    const std::string text = read_text_file(file);
    for (auto& entry : recursive(text, dir, seen)) result.push_back(std::move(entry));
    result.emplace_back(name, text);
  }
  return result;
}

}  // namespace
}  // namespace pelmora
