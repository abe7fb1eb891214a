#include "python/imports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "python/source.h"
#include "tests/python/python_oracle.h"

namespace pelmora {
namespace {

using Names = std::set<std::string>;

Names names_of(std::string_view code) {
  const SourceCheck scan = check_source(code);
  EXPECT_TRUE(scan.valid) << code;
  return scan.imports;
}

TEST(Imports, StatementForms) {
  EXPECT_EQ(names_of("import a.b.c"), Names({"a"}));
  EXPECT_EQ(names_of("import a.b as x"), Names({"a"}));
  EXPECT_EQ(names_of("import a, b.c as d"), Names({"a", "b"}));
  EXPECT_EQ(names_of("from a.b import c, d"), Names({"a"}));
  EXPECT_EQ(names_of("from a import *"), Names({"a"}));
  EXPECT_EQ(names_of("from a import (c as e,)"), Names({"a"}));
  EXPECT_EQ(names_of("from .a.b import c"), Names({"a"}));
  EXPECT_EQ(names_of("from ..a import c"), Names({"a"}));
  EXPECT_EQ(names_of("from ...a import c"), Names({"a"}));  // "..." is one token
  EXPECT_EQ(names_of("from . import c"), Names());
  EXPECT_EQ(names_of("from .. import c"), Names());
  EXPECT_EQ(names_of("from .import c"), Names());
}

TEST(Imports, WhereStatementsStand) {
  EXPECT_EQ(names_of("def f():\n    import a\n"), Names({"a"}));
  EXPECT_EQ(names_of("class C:\n    def m(self):\n        import a\n"), Names({"a"}));
  EXPECT_EQ(names_of("try:\n    import a\nexcept ImportError:\n    import b\n"), Names({"a", "b"}));
  EXPECT_EQ(names_of("import a; import b"), Names({"a", "b"}));
  EXPECT_EQ(names_of("if x: import a\ntry: import b\nexcept E: import c\n"),
            Names({"a", "b", "c"}));
  EXPECT_EQ(names_of("match x:\n    case 1:\n        import a\n"), Names({"a"}));
  EXPECT_EQ(names_of("def f():\n    return\n    import a\nif False:\n    import b\n"),
            Names({"a", "b"}));
  EXPECT_EQ(names_of("if TYPE_CHECKING:\n    import a\nif __name__ == '__main__':\n    import b\n"),
            Names({"a", "b"}));
}

TEST(Imports, WhatNeverCounts) {
  EXPECT_EQ(names_of("# import a\n'import b'\n\"\"\"\nimport c\n\"\"\"\nexec('import d')\n"),
            Names());
  EXPECT_EQ(names_of("__import__('a')\nimportlib.import_module('b')\n"), Names());
  EXPECT_EQ(names_of("def g():\n    yield from x\n    raise E from e\n"), Names());
  EXPECT_EQ(names_of("important = from_file = importlib = 1\n"), Names());
  EXPECT_EQ(names_of("f'{x}'; rb'\\'' ; import a"), Names({"a"}));
}

TEST(Imports, ContinuedStatementsGiveTheSameNames) {
  EXPECT_EQ(names_of("import a \\\n  .b, \\\n c"), Names({"a", "c"}));
  EXPECT_EQ(names_of("from a import (b,\n   c,\n)\n"), Names({"a"}));
  EXPECT_EQ(names_of("from a \\\n import b"), Names({"a"}));
}

TEST(Imports, NamesAreNfkcNormalised) {
  EXPECT_EQ(names_of("import ｏs"), Names({"os"}));
  EXPECT_EQ(names_of("from ﬁle import x"), Names({"file"}));
  EXPECT_EQ(names_of("import \xc2\xb5"), Names({"\xce\xbc"}));  // MICRO SIGN -> GREEK MU
}

// The minimum that must be judged invalid, plus import statements off the grammar.
TEST(Validity, RejectsTheMinimumList) {
  const std::vector<std::string> invalid = {
      "'abc", "x = 'abc\ny = 1'", "'''abc", "(", "x = [1, 2", "(]", ")", "x = 1 \\",
      " x = 1", "if x:\n    a\n  b\n", "if x:\n\ta\n        b\n", std::string("x\0", 2),
      "import (a)", "import a.", "import .a", "from a import", "from a import (b",
      "from a import b,", "from import a", "import a as b.c", "from a import *, b",
      "import a as", "from a import ()", "x = 1\nimport a\ny = (\n",
      // A syntax error after every import still makes the whole text invalid.
      "import a\nimport b\nx = = 1\n",
  };
  for (const std::string& code : invalid) {
    EXPECT_FALSE(check_source(code).valid) << code;
    EXPECT_EQ(check_source(code).imports, Names()) << code;
  }
}

TEST(Validity, AcceptsValidCode) {
  const std::vector<std::string> valid = {
      "", "\n", "# c", "pass", "x, = y", "(yield)", "f'{x=!r:>10}'", "lambda x=1: x",
      "def f(a, /, b, *, c): pass", "x: int = 1, 2", "\"a\".__class__ = str",
      "match x:\n    case {\"a\": 1, **rest}:\n        pass\n", "type X[T] = list[T]",
      "print(match, case, type)", "for x, in y: pass", "async def f():\n    async with a as b: pass\n",
      "class C[T](B, metaclass=M): pass", "def f[**P](*a: P.args) -> None: pass",
      "x = 1 if y else 2", "[x async for x in y if z]", "x[1:2, ::3, :]",
      "f'{b!s}{a,!r}{a,=}{a,}'",
  };
  for (const std::string& code : valid) EXPECT_TRUE(check_source(code).valid) << code;
}

TEST(Validity, ExplainsRejection) {
  const std::string code = "x = 1\ny = = 2\n";
  const SourceCheck why = check_source(code);
  ASSERT_FALSE(why.valid);
  EXPECT_EQ(why.error.line, 2u);
  EXPECT_EQ(line_position(code, why.error.offset).line, 2u);
  EXPECT_EQ(check_source("'abc").error.message,
            "unterminated string literal (detected at line 1)");
  EXPECT_TRUE(check_source("x = 1").valid);
  EXPECT_TRUE(check_source("x = 1").error.message.empty());
}

// The pelmora imports command.
class ImportsCommand : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::string run(const std::string& args, int& status) {
    const testing::CommandResult r =
        testing::run_command(std::string(PELMORA_BINARY) + " imports " + args + " 2>&1");
    status = r.status;
    return r.out;
  }
};

TEST_F(ImportsCommand, ReportsEachFile) {
  const std::string a = dir.write("a.py", "import zz, b.c\nfrom .d import e\nfrom . import f\n");
  const std::string b = dir.write("b.py", "import x\nx = = 1\n");
  const std::string c = dir.write("c.py", "import \xef\xbd\x8fs\r\n");
  int status = -1;
  const std::string out = run(a + " " + b + " " + c, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, a + " ok b d zz\n" + b + " invalid\n" + c + " ok os\n");
}

TEST_F(ImportsCommand, UnreadableFileIsAnErrorButOthersAreReported) {
  const std::string a = dir.write("a.py", "import q\n");
  int status = -1;
  const std::string out = run(dir.path() + "/missing.py " + a, status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(out.find("missing.py"), std::string::npos);
  EXPECT_NE(out.find(a + " ok q\n"), std::string::npos);
}

// Many files are checked on several threads; the report keeps the order given, an
// unreadable file's error line included.
TEST_F(ImportsCommand, ManyFilesAreReportedInTheOrderGiven) {
  std::string args, expect;
  for (int i = 0; i < 60; ++i) {
    const std::string name = "m" + std::to_string(i) + ".py";
    if (i % 7 == 3) {
      args += " " + dir.path() + "/" + name;
      expect += "pelmora: error: cannot read '" + dir.path() + "/" + name +
                "': No such file or directory\n";
      continue;
    }
    const std::string path = dir.write(name, i % 5 == 0 ? "x = (\n" : "import n" + std::to_string(i) + "\n");
    args += " " + path;
    expect += path + (i % 5 == 0 ? " invalid\n" : " ok n" + std::to_string(i) + "\n");
  }
  int status = -1;
  EXPECT_EQ(run(args, status), expect);
  EXPECT_EQ(status, 1);
}

TEST_F(ImportsCommand, JsonLines) {
  const std::string input = dir.write(
      "in.jsonl", "{\"code\": \"import a.b\\nfrom c import d\"}\nnot json\n{\"code\": \"x = (\"}\n{\"x\": 1}\n");
  int status = -1;
  const std::string out = run("--jsonl < " + input, status);
  EXPECT_EQ(status, 0);
  const std::vector<std::string> lines = {
      R"({"imports":["a","c"],"valid":true})",
      "",  // the error line, checked below
      R"({"imports":[],"valid":false})",
      "",
  };
  std::vector<std::string> got;
  std::size_t start = 0;
  while (start < out.size()) {
    const std::size_t nl = out.find('\n', start);
    got.push_back(out.substr(start, nl - start));
    start = nl + 1;
  }
  ASSERT_EQ(got.size(), 4u) << out;
  EXPECT_EQ(got[0], lines[0]);
  EXPECT_EQ(got[1].rfind("{\"error\":", 0), 0u) << got[1];
  EXPECT_EQ(got[2], lines[2]);
  EXPECT_EQ(got[3].rfind("{\"error\":", 0), 0u) << got[3];
}

TEST_F(ImportsCommand, UsageErrors) {
  int status = -1;
  run("", status);
  EXPECT_EQ(status, 2);
  run("--jsonl x.py", status);
  EXPECT_EQ(status, 2);
  const std::string help = run("--help", status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(help.find("--jsonl"), std::string::npos);
}

}  // namespace
}  // namespace pelmora
