#!/usr/bin/env python3.13
"""Hand-written edge cases for import discovery, answered by CPython 3.13.

Writes tests/data/imports/edge_cases.jsonl: one {"code", "valid", "imports"} line per case.
Usage: PYENV_VERSION=3.13.0 python3.13 tests/oracle/edge_cases.py > tests/data/imports/edge_cases.jsonl
"""
import json
import sys

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from imports_oracle import answer  # noqa: E402

CASES = [
    # Empty and trivial texts.
    "", "\n", "# only a comment", "   \n\t\n", "pass", "x = 1", "\\\n", "x = 1 \\",
    "x = 1 \\\n", "\\\nx = 1\n",
    # Import forms.
    "import a.b.c", "import a.b as x", "import a, b.c as d", "from a.b import c, d",
    "from a import *", "from a import (c as e,)", "from .a.b import c", "from ..a import c",
    "from . import c", "from .. import c", "from ... import c", "from ...a import b",
    "from .import x", "from.a import b", "import a as", "import (a)", "import a.", "import .a",
    "from a import", "from a import (b", "from a import b,", "from a import (b,)",
    "from a import (,)", "from a import ()", "from a import b as c as d", "from import a",
    "from a import *, b", "from a import (*)", "import a, ", "import a as b.c",
    "import a.b.c as d, e.f", "from a . b import c", "import a . b", "from __future__ import annotations",
    "import a;import b", "import a; import b;", "import a;;import b", "if x: import a",
    "try: import a\nexcept ImportError: import b", "def f():\n    import a\n",
    "class C:\n    import a\n", "while 0:\n    import a\nelse:\n    import b",
    "for x in y:\n    import a\nelse:\n    import b", "with x as y:\n    import a",
    "match x:\n    case 1:\n        import a\n    case _:\n        import b",
    "if TYPE_CHECKING:\n    import a\n", "if __name__ == '__main__':\n    import a\n",
    "def f():\n    return\n    import a\n", "async def f():\n    import a\n",
    "try:\n    pass\nexcept* E:\n    import a\n", "try:\n    pass\nfinally:\n    import a\n",
    "import a \\\n  .b", "from a \\\n import (b,\n c)", "from a import (b,\n  c,\n)",
    "import ｏs", "import µ", "from ﬁle import x", "import a\u200d", "ｉｍｐｏｒｔ os",
    "x = ｉｍｐｏｒｔ", "import important", "from_file = 1", "importlib = 1",
    "# import a", "'import a'", '"""\nimport a\n"""', "exec('import a')", "__import__('a')",
    "importlib.import_module('a')", "yield from x", "def g():\n    yield from x",
    "raise E from e", "def f():\n    raise E from None", "x = lambda: import a",
    "x: import a", "x = 1 import a", "print(import a)", "f'{import a}'",
    "f'{x}' ; import a", "r'\\'' ; import a", "b'\\\\' ; import a",
    # Strings.
    "'abc", '"abc', "'''abc", '"""abc', "'abc\ndef'", "'a\\\nb'", "r'\\'", "r'\\''",
    "b'\\xff'", "b'\u00e9'", "u'x'", "ur'x'", "bu'x'", "rb'x'", "Rb'x'", "BR'x'", "f'x'",
    "rf'x'", "fR'x'", "fb'x'", "bf'x'", "uf'x'", "'a' 'b'", "'a' b'b'", "f'a' b'b'",
    "b'a' b'b'", "'\\x4'", "'\\x41'", "b'\\x4'", "'\\u123'", "'\\u1234'", "b'\\u123'",
    "'\\U0010ffff'", "'\\U00110000'", "'\\N{BULLET}'", "'\\N{'", "'\\N'", "'\\q'",
    "'\\777'", "'''a''' '''b'''", "'''a\n'''", "x = '''\n'''\n",
    # f-strings (PEP 701).
    "f'{x}'", "f'{x!r}'", "f'{x!r:>10}'", "f'{x:{w}.{p}}'", "f'{x=}'", "f'{x = !r}'",
    "f'{}'", "f'{ }'", "f'{!r}'", "f'{x!}'", "f'{x!z}'", "f'{x'", "f'{x}}'", "f'}'",
    "f'{{}}'", "f'{{x}}'", "f'{\"a\"}'", "f'{'a'}'", "f'{f'{f'{x}'}'}'", "f'''{\nx # c\n}'''",
    "f'{x # c}'", "f'{x:{y:{z}}}'", "f'{x:{y:{z:{w}}}}'", "f'{lambda: 1}'", "f'{(lambda: 1)}'",
    "f'{x:=5}'", "f'{(x:=5)}'", "f'\\{x}'", "f'\\N{BULLET}'", "rf'\\N{x}'", "f'{x:\n}'",
    "f'{\nx\n}'", "f'''{\nx\n}'''", "f'{x}' f'{y}'", "f'{x!r=}'", "f'{1:{2}}' 'a'",
    "f'{a[\"b\"]}'", "f\"{'''a'''}\"", "f'{x:{{y}}}'", "f'{x}{y}'", "f'{3.14:!<10.10}'",
    "f'{x:a\\nb}'", "f'{x}\\x4'", "rf'{x}\\x4'",
    # Numbers.
    "1", "1_000", "1__0", "1_", "0x_1f", "0x", "0xg", "0o8", "0o7", "0b2", "0b1_0", "01", "00",
    "0_0", "0.5", ".5", "5.", "1e5", "1e", "1e+", "1e+5", "1j", "1.5J", "1if 1 else 2",
    "0x1for x in y", "1and 2", "1or 2", "1not in x", "1in x", "1is 1", "1abc", "1_a", "1.__class__",
    "1 .real", "1..real", "0777", "0e0", "0j", "00.5", "1_0.0_1e1_0j", "0b", "0o", "0b_", "9" * 50,
    # Operators and punctuation.
    "x = 1 +", "x = + 1", "x == 1", "x = = 1", "x := 1", "(x := 1)", "x ! y", "x != y", "x <> y",
    "x = $", "x = ?", "x = `a`", "a ->b", "x @= y", "@dec\ndef f(): pass", "@dec\nx = 1",
    "x = ...", "x = ....", "a[...]", "print(*a, **k)", "print(**k, *a)", "f(a=1, b)",
    "f(a, *b, c=1, *d)", "f(**a, b)", "f(x for x in y)", "del x,", "x, = y", "x, *y = z",
    "*x = y", "x = *y,", "x[1:2, ::3]", "x[]", "x[:, 1]", "{1:}", "{1: 2, }", "(1,)", "(,)",
    "[,]", "f(,)", "f(a,,b)", "a.b.c", "a.", "a..b", "a.1", "a . b", "a.if", "x.match",
    # Brackets.
    "(", ")", "[", "]", "{", "}", "(]", "[)", "{)", "(\n", "((((", "f(a\n", "x = (1,\n2)",
    "(" * 199 + ")" * 199, "(" * 200 + ")" * 200, "(" * 201 + ")" * 201,
    # Indentation.
    " x = 1", "if x:\npass", "if x:\n  pass\n pass", "if x:\n    pass\n  y = 1",
    "if x:\n\tpass\n        pass", "if x:\n        pass\n\tpass", "if x:\n \tpass\n\t pass",
    "if x:\n\t pass", "if x:\n    pass\n\n\n", "if x:\n    pass\n  # comment\n",
    "if x:\n    pass\n\f    y\n", "def f():\n    '''doc'''\n", "if x:\n", "if x:\n  \n",
    "if x:\n    if y:\n        pass\n    else:\n        pass\nelse:\n    pass",
    "else:\n    pass", "if x:\n    pass\nelif y:\n    pass\nelse:\n    pass\nelse:\n    pass",
    "try:\n    pass\n", "try:\n    pass\nelse:\n    pass", "try:\n    pass\nexcept:\n    pass\nelse:\n    pass\nfinally:\n    pass",
    "for x in y: pass\nelse: pass", "while x: pass\nelse: pass", "x = 1\nelse: pass",
    "if x: pass; else: pass", "if x: pass\nelif: pass", "class C: pass", "class C(): pass",
    "class C(B, metaclass=M): pass", "class C[T]: pass", "def f[T](x: T) -> T: pass",
    "type X = int", "type X[T] = list[T]", "type = 1", "type(x)", "match = 1", "match x:\n    case {}:\n        pass",
    "match x:\n    case [a, *rest]:\n        pass", "case = 1", "_ = 1", "print(match, case, type)",
    "\n".join("    " * i + "if x:" for i in range(99)) + "\n" + "    " * 99 + "pass",
    "\n".join("    " * i + "if x:" for i in range(100)) + "\n" + "    " * 100 + "pass",
    "if x:\n    pass\n   \\\n    y\n", "if x:\n  \\\n  pass",
    # Line ends.
    "x = 1\r\ny = 2\r\n", "x = 1\ry = 2\r", "import a\r\nimport b", "if x:\r    import a\r",
    "x = (1,\r\n2)", "x = 1 \\\r\n+ 2", "'a\\\r\nb'",
    # NUL and odd characters.
    "x = 1\x00", "'\x00'", "# \x00", "x = 1\x0b", "x = 1\x0c", "\ufeffx = 1", "x = 1\u00a0",
    "€ = 1", "a€ = 1", "µ = 1", "ℌ = 1", "x\u0301 = 1", "\u0301x = 1", "x = '\ud7ff'",
    "㐀 = 1", "\U0002EBF0 = 1", "x\u30fb = 1", "x\uff65 = 1", "\u2ffc = 1", "x = 1 # \u2028",
    "x = '\u2028'",
    # Statements.
    "def f(a, /, b, *, c): pass", "def f(a=1, b): pass", "def f(*): pass", "def f(**k, a): pass",
    "lambda: (yield)", "def f(): return (yield)", "x = yield", "print >>f, x", "print 'x'",
    "exec 'x'", "global x, y", "global x,", "nonlocal", "pass x", "break;", "continue\n",
    "return", "del x, y[0], z.a", "assert x, 'm'", "raise", "raise E, v", "async def f(): await x",
    "async with a as b: pass", "async for x in y: pass", "async x", "await", "with (a as b, c as d): pass",
    "with a as b, c as d: pass", "x if y", "x if y else z", "[x for x in y if z]",
    "[x async for x in y]", "for x, in y: pass", "for x in y, z: pass", "for x: pass",
    "x: int = 5", "x: int", "x.y: int", "x[0]: int", "(x): int", "f(): int", "x, y: int",
    "x: int, y", "x: int = 1, 2", "1 = x", "f() = x", "x + y = z", "\"a\".x = 1", "x += 1",
    "x, y += 1", "(x) = 1", "[x, y] = z", "x = y = z", "x = y += z", "lambda x=1: x",
    "f = lambda x=1, *a, y=2, **k: x", "f(lambda x=1, y: 0)", "a if b else lambda: c",
    "with a: pass", "with a as: pass", "except: pass", "finally: pass", "elif x: pass",
    "if x:\n    pass\nelse :\n    pass", "if (x\n):\n  pass", "def f(\n  a,\n  b,\n): pass",
]


def main():
    for code in CASES:
        rec = {"code": code}
        rec.update(answer(code))
        sys.stdout.write(json.dumps(rec, ensure_ascii=False) + "\n")


if __name__ == "__main__":
    main()
