#include "agent/bundle/bundle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>

#include "agent/bundle/future_imports.h"
#include "agent/platform/files.h"
#include "tests/python/python_oracle.h"

namespace pelmora {
namespace {

const std::string kExampleDir = PELMORA_TEST_DATA_DIR "/bundle/example";

const ModuleMap& example_modules() {
  static const ModuleMap modules = {
      {"common", "GREETING = \"hi\"\n"},
      {"pkg", "NAME = 'pkg'\nfrom common import GREETING\n"},
  };
  return modules;
}

size_t count_lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(AssembleBundle, ExampleByteForByte) {
  const std::string code = testing::read_all(kExampleDir + "/main.py");
  const std::string expected = testing::read_all(kExampleDir + "/bundle.txt");
  EXPECT_EQ(assemble_bundle(code, example_modules()), expected);
}

TEST(AssembleBundle, NothingToBundleGivesTheScriptItself) {
  for (const std::string code : {"", "print(1)", "import os\n",
                                 "from __future__ import annotations\nimport os\n",
                                 "\xEF\xBB\xBFprint(1)\n", "def broken(:\n"}) {
    EXPECT_EQ(assemble_bundle(code, {}), code);
  }
}

TEST(AssembleBundle, ThreeLinesPerModuleWhateverTheSource) {
  const ModuleMap modules = {
      {"a", "x = 1\n"},
      {"b", "s = 'tab\there'\r\nff\x0c nbsp\xc2\xa0 zwsp\xe2\x80\x8b ls\xe2\x80\xa8 ps\xe2\x80\xa9 nel\xc2\x85"},
      {"c", "both = '\"'\n\xc3\xa9\xef\xbf\xbd\n"},
  };
  const std::string code = "import a, b, c\nprint(a.x)";  // no final line break
  const std::string bundle = assemble_bundle(code, modules);
  ASSERT_GE(bundle.size(), code.size());
  EXPECT_EQ(bundle.substr(bundle.size() - code.size()), code);
  const std::string preamble = bundle.substr(0, bundle.size() - code.size());
  EXPECT_EQ(count_lines(preamble), 3 * modules.size() + 5);
  EXPECT_NE(preamble.find("exec(\"s = 'tab\\there'\\r\\nff\\x0c nbsp\\xa0 zwsp\\u200b "
                          "ls\\u2028 ps\\u2029 nel\\x85\", __pm_mod_b.__dict__)\n"),
            std::string::npos);
  EXPECT_NE(preamble.find("exec('both = \\'\"\\'\\n\xc3\xa9\xef\xbf\xbd\\n', __pm_mod_c.__dict__)\n"),
            std::string::npos);
  EXPECT_TRUE(preamble.ends_with("# ---- pelmora: end injected local modules ----\n\n"));
}

TEST(AssembleBundle, LinesThatMustComeFirstStayBehindThePreamble) {
  // Behind the preamble an interpreter line and an encoding declaration are comments.
  const std::string code = "#!/usr/bin/env python3\n# -*- coding: latin-1 -*-\nimport a\n";
  const std::string bundle = assemble_bundle(code, {{"a", ""}});
  EXPECT_TRUE(bundle.starts_with("# ---- pelmora: injected local modules ----\n"));
  EXPECT_TRUE(bundle.ends_with("\n\n" + code));
}

TEST(AssembleBundle, ByteOrderMarksAreKeptOutOfThePreamble) {
  // The script's mark stays first; a module's mark is left out of its literal.
  const std::string bundle = assemble_bundle("\xEF\xBB\xBFimport a\n", {{"a", "\xEF\xBB\xBFx = 1\n"}});
  EXPECT_EQ(bundle,
            "\xEF\xBB\xBF# ---- pelmora: injected local modules ----\n"
            "import sys as __pm_sys, types as __pm_types\n"
            "__pm_mod_a = __pm_types.ModuleType('a')\n"
            "exec('x = 1\\n', __pm_mod_a.__dict__)\n"
            "__pm_sys.modules['a'] = __pm_mod_a\n"
            "del __pm_sys, __pm_types\n"
            "# ---- pelmora: end injected local modules ----\n"
            "\n"
            "import a\n");
}

TEST(AssembleBundle, PreambleFollowsLeadingFutureImports) {
  const std::string code =
      "\"\"\"Trainer.\"\"\"\nfrom __future__ import annotations\n\nimport a\nprint(a.x)\n";
  EXPECT_EQ(assemble_bundle(code, {{"a", "x = 1\n"}}),
            "\"\"\"Trainer.\"\"\"\nfrom __future__ import annotations\n"
            "# ---- pelmora: injected local modules ----\n"
            "import sys as __pm_sys, types as __pm_types\n"
            "__pm_mod_a = __pm_types.ModuleType('a')\n"
            "exec(compile('x = 1\\n', '<string>', 'exec', dont_inherit=True), __pm_mod_a.__dict__)\n"
            "__pm_sys.modules['a'] = __pm_mod_a\n"
            "del __pm_sys, __pm_types\n"
            "# ---- pelmora: end injected local modules ----\n"
            "\n"
            "\nimport a\nprint(a.x)\n");
}

TEST(AssembleBundle, FutureImportSharingItsLineIsSplitAfterTheSemicolon) {
  const std::string bundle =
      assemble_bundle("from __future__ import annotations;  import a\nprint(a.x)\n", {{"a", ""}});
  EXPECT_TRUE(bundle.starts_with("from __future__ import annotations;\n# ---- pelmora: injected"));
  EXPECT_TRUE(bundle.ends_with("end injected local modules ----\n\nimport a\nprint(a.x)\n"));
  // A last line without a line break gets one ahead of the preamble.
  EXPECT_TRUE(assemble_bundle("from __future__ import annotations", {{"a", ""}})
                  .starts_with("from __future__ import annotations\n# ---- pelmora"));
}

struct SplitCase {
  const char* code;
  const char* head;  // code[0, head_end)
  const char* tail;  // code[tail_start, end)
};

class PreambleSplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(PreambleSplitTest, HeadAndTail) {
  const std::string code = GetParam().code;
  const PreambleSplit split = find_preamble_split(code);
  ASSERT_LE(split.head_end, split.tail_start);
  ASSERT_LE(split.tail_start, code.size());
  EXPECT_EQ(code.substr(0, split.head_end), GetParam().head);
  EXPECT_EQ(code.substr(split.tail_start), GetParam().tail);
  EXPECT_EQ(split.has_future_imports, std::string(GetParam().head).find("__future__") != std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, PreambleSplitTest,
    ::testing::Values(
        // No leading future import: everything follows the preamble.
        SplitCase{"", "", ""},
        SplitCase{"import os\n", "", "import os\n"},
        SplitCase{"'''Doc.'''\nimport os\n", "", "'''Doc.'''\nimport os\n"},
        SplitCase{"#!/usr/bin/env python3\nprint(1)\n", "", "#!/usr/bin/env python3\nprint(1)\n"},
        SplitCase{"'''from __future__ import x\n'''\nimport os\n", "",
                  "'''from __future__ import x\n'''\nimport os\n"},
        SplitCase{"f'doc'\nfrom __future__ import annotations\n", "",
                  "f'doc'\nfrom __future__ import annotations\n"},
        SplitCase{"b'doc'\nfrom __future__ import annotations\n", "",
                  "b'doc'\nfrom __future__ import annotations\n"},
        SplitCase{"from_ = 1\n", "", "from_ = 1\n"},
        SplitCase{"from __future__ .x import y\n", "", "from __future__ .x import y\n"},
        SplitCase{"import os\nfrom __future__ import annotations\n", "",
                  "import os\nfrom __future__ import annotations\n"},
        // Future imports, after comments, blank lines and a docstring.
        SplitCase{"from __future__ import annotations\nimport os\n",
                  "from __future__ import annotations\n", "import os\n"},
        SplitCase{"#!/usr/bin/env python3\n# -*- coding: utf-8 -*-\n\n\"\"\"Doc\n\nmore.\"\"\"\n"
                  "# comment\nfrom __future__ import annotations  # why\n\nx = 1\n",
                  "#!/usr/bin/env python3\n# -*- coding: utf-8 -*-\n\n\"\"\"Doc\n\nmore.\"\"\"\n"
                  "# comment\nfrom __future__ import annotations  # why\n",
                  "\nx = 1\n"},
        SplitCase{"r'''a\\'''' \"b\\\"\" U'c'\nfrom __future__ import division\nx\n",
                  "r'''a\\'''' \"b\\\"\" U'c'\nfrom __future__ import division\n", "x\n"},
        SplitCase{"(\"doc\"\n \"more\")\nfrom __future__ import annotations\nx\n",
                  "(\"doc\"\n \"more\")\nfrom __future__ import annotations\n", "x\n"},
        SplitCase{"from __future__ import annotations\n\n# c\nfrom __future__ import (division,\n"
                  "    # inside\n    generator_stop as gs,)\nimport x\n",
                  "from __future__ import annotations\n\n# c\nfrom __future__ import (division,\n"
                  "    # inside\n    generator_stop as gs,)\n",
                  "import x\n"},
        SplitCase{"from __future__ \\\n    import annotations\nx\n",
                  "from __future__ \\\n    import annotations\n", "x\n"},
        SplitCase{"from __future__ import annotations\r\nx\r\n",
                  "from __future__ import annotations\r\n", "x\r\n"},
        SplitCase{"from __future__ import annotations", "from __future__ import annotations", ""},
        SplitCase{"from __future__ import annotations  # c", "from __future__ import annotations  # c", ""},
        // Semicolons.
        SplitCase{"'''Doc.'''; from __future__ import annotations\nx\n",
                  "'''Doc.'''; from __future__ import annotations\n", "x\n"},
        SplitCase{"from __future__ import annotations;\nx\n", "from __future__ import annotations;\n", "x\n"},
        SplitCase{"from __future__ import annotations; from __future__ import division\nx\n",
                  "from __future__ import annotations; from __future__ import division\n", "x\n"},
        SplitCase{"from __future__ import annotations;  import os; x = 1\ny\n",
                  "from __future__ import annotations;", "import os; x = 1\ny\n"},
        SplitCase{"from __future__ import annotations; \\\n import os\n",
                  "from __future__ import annotations;", "import os\n"},
        // A byte-order mark stays first.
        SplitCase{"\xEF\xBB\xBFimport os\n", "\xEF\xBB\xBF", "import os\n"},
        SplitCase{"\xEF\xBB\xBF\"\"\"D.\"\"\"\nfrom __future__ import annotations\nx\n",
                  "\xEF\xBB\xBF\"\"\"D.\"\"\"\nfrom __future__ import annotations\n", "x\n"},
        // Not valid Python: the scan stops without reading past the top.
        SplitCase{"'''unterminated\nfrom __future__ import annotations\n", "",
                  "'''unterminated\nfrom __future__ import annotations\n"},
        SplitCase{"from __future__ import annotations)\n", "", "from __future__ import annotations)\n"}));

TEST(ScriptBaseDir, RelativePathsAreTakenAgainstTheWorkingDirectory) {
  EXPECT_EQ(script_base_dir("/srv/jobs/train.py"), "/srv/jobs");
  EXPECT_EQ(script_base_dir("/srv/jobs/../jobs/./x/../train.py"), "/srv/jobs");
  EXPECT_EQ(script_base_dir("/train.py"), "/");
  EXPECT_EQ(script_base_dir("train.py"), current_dir());
  EXPECT_EQ(script_base_dir("sub/../sub/train.py"), join_path(current_dir(), "sub"));
}

// Discovery records the file each module was read from: a module file ahead of a package
// of the same name, a package's own imports looked up in its directory.
TEST(FindLocalModules, RecordsEachModulesFile) {
  testing::TempDir dir;
  const std::string a = dir.write("a.py", "A = 1\r\n");
  dir.write("a/__init__.py", "shadowed\n");
  const std::string pkg = dir.write("pkg/__init__.py", "from .inner import f\n");
  const std::string inner = dir.write("pkg/inner.py", "def f(): pass\n");
  std::set<std::string> seen;
  const auto files = find_local_modules("import pkg, a, gone\n", dir.path(), seen);
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].name, "a");
  EXPECT_EQ(files[0].path, a);
  EXPECT_EQ(files[0].source, "A = 1\n");
  EXPECT_EQ(files[1].name, "inner");
  EXPECT_EQ(files[1].path, inner);
  EXPECT_EQ(files[2].path, pkg);
  seen.clear();
  EXPECT_EQ(module_map(files), _discover_local_modules("import pkg, a, gone\n", dir.path(), seen));
}

}  // namespace
}  // namespace pelmora
