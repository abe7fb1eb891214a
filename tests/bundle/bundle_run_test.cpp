// Bundles run by CPython 3.13 from an empty directory print what the script prints in place.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "agent/bundle/bundle.h"
#include "agent/platform/files.h"
#include "tests/python/python_oracle.h"

namespace pelmora {
namespace {

using Files = std::map<std::string, std::string>;  // relative path -> bytes

struct Project {
  const char* title;
  Files files;                          // the script is main.py
  std::vector<std::string> modules;     // the local modules the bundle must carry, in order
};

std::string run_python(const std::string& dir, const std::string& script) {
  const auto result = testing::run_command("cd " + testing::shell_quote(dir) + " && " +
                                           *testing::python313() + " -E -s " + script + " 2>&1");
  return "exit " + std::to_string(result.status) + "\n" + result.out;
}

// The order of the modules in a bundle, read from its registration lines.
std::vector<std::string> registered_modules(const std::string& bundle) {
  std::vector<std::string> names;
  const std::string marker = "\n__pm_sys.modules['";
  for (size_t at = bundle.find(marker); at != std::string::npos; at = bundle.find(marker, at + 1)) {
    const size_t start = at + marker.size();
    names.push_back(bundle.substr(start, bundle.find('\'', start) - start));
  }
  return names;
}

class BundleRunTest : public ::testing::TestWithParam<Project> {};

TEST_P(BundleRunTest, BundlePrintsWhatTheScriptPrintsInPlace) {
  if (!testing::python313()) GTEST_SKIP() << testing::kNoPython;
  testing::TempDir project;
  for (const auto& [path, bytes] : GetParam().files) project.write(path, bytes);
  const std::string script = join_path(project.path(), "main.py");

  const std::string bundle = _bundle_local_modules(read_text_file(script), script);
  EXPECT_EQ(registered_modules(bundle), GetParam().modules);

  testing::TempDir empty;
  empty.write("bundle.py", bundle);
  const std::string in_place = run_python(project.path(), "main.py");
  EXPECT_TRUE(in_place.starts_with("exit 0\n")) << in_place;
  EXPECT_EQ(run_python(empty.path(), "bundle.py"), in_place) << bundle;
}

// Not here because a bundle cannot run them: a package whose __init__.py imports
// relatively (from .helpers import f: the bundled package is a plain module without a
// package path), and two modules that import each other at their top level (each module
// runs once, in order, before the next is registered).
INSTANTIATE_TEST_SUITE_P(
    Projects, BundleRunTest,
    ::testing::Values(
        Project{"ModulesImportingModules",
                {{"main.py", "import b, a\nprint(a.value(), b.NAME)\n"},
                 {"a.py", "import c\ndef value():\n    return c.BASE * 2\n"},
                 {"b.py", "NAME = 'b'\n"},
                 {"c.py", "BASE = 21\n"}},
                {"c", "a", "b"}},
        Project{"PackageImportingFromTheScriptsDirectory",
                {{"main.py", "import common\nimport pkg\n\nprint(common.GREETING, pkg.NAME)\n"},
                 {"common.py", "GREETING = \"hi\"\n"},
                 {"pkg/__init__.py", "NAME = 'pkg'\nfrom common import GREETING\n"}},
                {"common", "pkg"}},
        Project{"ImportCycle",
                {{"main.py", "import a\nprint(a.f())\n"},
                 {"a.py", "import b\ndef f():\n    return b.g() + 1\ndef base():\n    return 40\n"},
                 {"b.py", "def g():\n    import a\n    return a.base() + 1\n"}},
                {"b", "a"}},
        Project{"ModuleImportedOnlyInsideAFunction",
                {{"main.py", "def main():\n    import lazy\n    print(lazy.WORD)\n\nif __name__ == '__main__':\n    main()\n"},
                 {"lazy.py", "WORD = 'late'\n"}},
                {"lazy"}},
        Project{"CrLfAndNonUtf8ModuleFiles",
                {{"main.py", "import legacy, windows\nprint(legacy.TEXT, windows.lines())\n"},
                 {"legacy.py", "# -*- coding: latin-1 -*-\n# caf\xe9\nTEXT = 'plain'\n"},
                 {"windows.py", "def lines():\r\n    s = '''a\r\nb'''\r\n    return s.split('\\n')\r\n"}},
                {"legacy", "windows"}},
        Project{"LeadingDocstringAndFutureImports",
                {{"main.py", "#!/usr/bin/env python3\n\"\"\"Trainer.\"\"\"\n"
                             "from __future__ import annotations\nfrom __future__ import (\n"
                             "    division,\n)\nimport typed\n"
                             "def f(x: int) -> str: ...\nprint(__doc__, f.__annotations__, typed.hints())\n"},
                 {"typed.py", "def g(x: int): ...\ndef hints():\n    return g.__annotations__\n"}},
                {"typed"}},
        Project{"FutureImportSharingALine",
                {{"main.py", "from __future__ import annotations; import quote; print(quote.Q)\n"},
                 {"quote.py", "Q = 'both \\' and \"'\n"}},
                {"quote"}},
        Project{"ByteOrderMarks",
                {{"main.py", "\xEF\xBB\xBFimport marked\nprint(marked.X)\n"},
                 {"marked.py", "\xEF\xBB\xBFX = '\xc3\xa9\\u2028\xe2\x80\x8b'\n"}},
                {"marked"}}),
    [](const ::testing::TestParamInfo<Project>& param_info) { return std::string(param_info.param.title); });

// pelmora bundle writes what an offload sends.
class BundleCommandTest : public ::testing::Test {
 protected:
  static testing::CommandResult pelmora(const std::string& args) {
    return testing::run_command(std::string(PELMORA_BINARY) + " " + args + " 2>&1");
  }
};

TEST_F(BundleCommandTest, WritesTheBundleByteForByte) {
  testing::TempDir project;
  const std::string script = project.write("main.py", "import a\r\nprint(a.X, '\xff')");
  project.write("a.py", "X = 1\n");
  const auto result = testing::run_command(std::string(PELMORA_BINARY) + " bundle " + script);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, _bundle_local_modules(read_text_file(script), script));
  EXPECT_TRUE(result.out.ends_with("\nimport a\nprint(a.X, '\xef\xbf\xbd')"));
}

TEST_F(BundleCommandTest, ListsModulesWithTheirFilesAndSizes) {
  testing::TempDir project;
  const std::string script = project.write("main.py", "import pkg\n");
  const std::string init = project.write("pkg/__init__.py", "from .inner import f\n");
  const std::string inner = project.write("pkg/inner.py", "def f():\n    pass\n");
  const auto result = pelmora("bundle --list " + script);
  EXPECT_EQ(result.status, 0);
  const size_t size = _bundle_local_modules(read_text_file(script), script).size();
  const std::string pad(init.size() - inner.size(), ' ');
  EXPECT_EQ(result.out, "inner  " + inner + pad + "  18 bytes\n" +
                        "pkg    " + init + "  21 bytes\n" +
                        "total: 2 local modules; bundle " + std::to_string(size) + " bytes\n");
}

TEST_F(BundleCommandTest, ScriptThatDoesNotParseIsSentAlone) {
  testing::TempDir project;
  const std::string script = project.write("main.py", "import a\ndef broken(:\n");
  project.write("a.py", "X = 1\n");
  const auto result = testing::run_command(std::string(PELMORA_BINARY) + " bundle --list " + script +
                                           " 2>" + project.path() + "/err");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "no local modules; bundle 22 bytes (the script alone)\n");
  EXPECT_NE(testing::read_all(project.path() + "/err").find("is not valid Python"), std::string::npos);
}

TEST_F(BundleCommandTest, BadUseAndMissingFiles) {
  EXPECT_EQ(pelmora("bundle").status, 2);
  EXPECT_EQ(pelmora("bundle a.py b.py").status, 2);
  const auto help = pelmora("bundle --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--list"), std::string::npos);
  const auto missing = pelmora("bundle /nonexistent/main.py");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out,
            "pelmora: error: cannot read '/nonexistent/main.py': No such file or directory\n");
}

}  // namespace
}  // namespace pelmora
