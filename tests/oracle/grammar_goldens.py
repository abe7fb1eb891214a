#!/usr/bin/env python3.13
"""Writes the golden cases of the grammar recognizer, decided by CPython 3.13's ast.parse.

Each tests/data/grammar/<area>.jsonl line is {"code", "valid", "msg", "line"}: the text,
whether ast.parse accepts it, and CPython's message and line when it does not. The cases
are hand-picked edge cases by grammar area, the snippets that CPython's own tests compile
(extract_snippets.py), the nesting limits, and mutants on which the recognizer once
disagreed with CPython.

Usage: grammar_goldens.py [OUTDIR] [--snippets snippets.jsonl] [--mutants mutants.jsonl]
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from grammar_oracle import verdict  # noqa: E402

AREAS = {
    "targets": [
        "*a = 1", "a, *b = c", "[a, *b] = c", "(a, b) = c", "() = c", "[] = c",
        "(*a) = 1", "(*a,) = 1", "*(a, b), = c", "* *a, = c", "f() = 1", "None = 1",
        "True.x = 1", "x.__debug__ = 1", "__debug__ = 1", "a + b = 1", "(a) = 1",
        "((a)) = 1", "[(a, [b, c])] = d", "x = yield = 1", "x = (yield) = 1",
        "a = b = c = d", "a = b + 1 = 2", "x = *a", "x = *a, *b", "*a", "a if b else c = 1",
        "(a, b): int", "a.b: int", "(a): int = 1", "((a)): int", "a[1]: int", "x: int = yield",
        "x: yield", "f(): int", "a, b: int", "*a: int", "(a): int", "(a.b) += 1", "a, b += 1",
        "x += yield", "f() += 1", "(x) += 1", "[x] += 1", "del a.b, c[1], (d, [e])", "del ()",
        "del []", "del (a), [b]", "del *a", "del a, *b", "del (a, *b)", "del f()", "del x,",
        "del a + b", "del (a)", "del a if b else c", "del a; del b",
        "for x in y: pass", "for *x in y: pass", "for x, in y: pass", "for x.y[0] in z: pass",
        "for (x in y) in z: pass", "for f() in x: pass", "for x, *y, z in w: pass",
        "with a as *b: pass", "with a as b.c, d as e[1]: pass", "with a as (b, c): pass",
        "with a as f(): pass", "with a as b, c as d: pass", "with a as b c: pass",
        "[x for x.y in z]", "[x for f() in z]", "[x for *x, y in z]", "(a := 1)", "(a.b := 1)",
        "a[b := 1]", "a[b := 1, c]", "f(a := 1)", "f(a.b := 1)", "x = (a := 1, b := 2)",
        "a := 1", "(a := b := 1)", "[a := 1 for x in y]", "{a := 1}", "{a := 1: 2}",
        "print((yield))", "a, b = yield", "a[1:2] = b", "a[*b] = 1", "a.b.c = 1",
        "f'{x}' = 1", "'a'.x = 1", "1 .x = 1", "[x for x in y] = 1", "lambda: x = 1",
        "not a = 1", "-a = 1", "a() .b = 1", "await x = 1", "await x.y = 1",
    ],
    "params": [
        "def f(a, /): pass", "def f(a, /, b): pass", "def f(/): pass", "def f(a, /, /): pass",
        "def f(a /): pass", "def f(a=1, b): pass", "def f(a=1, /, b): pass",
        "def f(a, *, b): pass", "def f(*): pass", "def f(*,): pass", "def f(*, **k): pass",
        "def f(*, a=1, b): pass", "def f(**k, ): pass", "def f(**k=1): pass",
        "def f(*a=1): pass", "def f(**k, a): pass", "def f(*a, *b): pass",
        "def f(*a: *b): pass", "def f(a: *b): pass", "def f(a, a): pass", "def f(a,): pass",
        "def f(,): pass", "def f(a, *args, b=1, c, **kw): pass", "def f(a=1, /, b=2, *, c): pass",
        "def f() -> int: pass", "def f() -> yield: pass", "def f(a: int = 1, *b: int): pass",
        "lambda: 0", "lambda a, /: 0", "lambda a, /, b=1, *c, d, **e: 0", "lambda *: 0",
        "lambda *a: *b: 1", "lambda a: int: 1", "lambda a=1, b: 0", "lambda **k, a: 0",
        "lambda (a): 0", "lambda x, x: 1", "lambda *, a: 0", "lambda *,: 0",
        "def f[T](): pass", "def f[T: int, *Ts, **P](): pass", "def f[T=int, U](): pass",
        "class A[*T=int]: pass", "type X[T: (int, str) = int] = T", "def f[**P=[int]](): pass",
        "def f[*T: int](): pass", "def f[**P: int](): pass", "def f[](): pass",
        "def f[T,](): pass", "class A[T](B, metaclass=M): pass", "type X = int",
        "type type = type", "type X[T] = list[T]", "type match = 1", "type(x)", "type = 5",
        "type X", "type X[T]", "type X[T] = ", "type X[*Ts = *a] = 1",
        "async def f(): pass", "async def f(): await x", "async x = 1", "async with a: pass",
        "async for x in y: pass", "def f(): return *a, *b", "def f(): yield *a, b",
        "@x\ndef f(): pass", "@x := y\ndef f(): pass", "@(x := y)\ndef f(): pass",
        "@a.b[c](d)\nclass A: pass", "@x\nx = 1", "@x\nasync def f(): pass", "@\ndef f(): pass",
        "class A(x for x in y): pass", "class A(*a, **k): pass", "class A(): pass",
        "class A: pass", "class A(b=1, c): pass",
    ],
    "calls": [
        "f(a=1, a=2)", "f(**a, *b)", "f(x for x in y,)", "f(x for x in y)",
        "f(x for x in y, 1)", "f(1, x for x in y)", "f((x for x in y), 1)",
        "print(*a, b=1, *c, **d)", "f(**d, e=1)", "f(**d, *e)", "f(a=1, b)", "f(a=1, *b)",
        "f(*a or b)", "f(**a or b)", "f(a.b=1)", "f(a=1, **k, c=2)", "f(,)", "f(a,)",
        "f(a,,)", "f(*)", "f(**)", "f(a for a in b if c if d)", "f(async for a in b)",
        "f(x async for x in y)", "f(a := 1 for x in y)", "f(a=b for b in c)", "f(lambda: 1)",
        "f(yield)", "f((yield))", "f(a)(b)(c)", "f()[1]()", "a[1:2, *b]", "a[*b:1]", "a[*b]",
        "a[]", "a[:]", "a[::]", "a[1:2:3]", "a[::3, :]", "a[x:=1]", "a[(x:=1):2]",
        "a[x:=1:2]", "a[lambda: 1]", "a[lambda: 1:2]", "a[yield]", "a[1:yield]", "a[1,]",
        "a[*b, *c]", "a[**b]", "a[b=1]", "a[1:2 for x in y]", "a[x for x in y]",
        "[*a for a in b]", "{**a for a in b}", "(*a for a in b)", "{*a for a in b}", "{*a}",
        "{**a, 'b': 1}", "{a: b := 1}", "{a: *b}", "{**a: 1}", "{1, 2, *a,}", "{1: 2, **a,}",
        "{1: 2, 3}", "{1, 2: 3}", "[x for x in a, b]", "[x for x in *a]", "(x for x in a, b)",
        "[i for i in range(3) if i if i]", "[x for x in y if lambda: 1]",
        "[x for x in lambda: y]", "[x async for x in y]", "[(yield) for x in y]",
        "[x for x in (yield)]", "x = 1 if 1 else 2", "x = 1 if 2", "x = 1 if 2 else",
        "x = a if b else c if d else e", "a < b < c", "a not in b", "a is not b", "a not b",
        "a in not b", "x = 1 <> 2", "x = 1 != 2", "from __future__ import barry_as_FLUFL\n1 <> 2",
        "not", "a and", "a or b or", "-", "~~a", "a**-b", "a ** b ** c", "await await x",
        "await x", "await", "yield x", "yield from x", "yield from", "x = yield from",
        "a @ b", "a @= b", "a //= b", "...", "....", "x = ...", "a.b.c.d", "a. b", "a.1",
        "a .real", "1 .real", "1.real", "1if 1else 2", "0x1for x in y", "a, = b", "a, b, = c",
        ",", "a,,b", "(,)", "(a,,)", "print", "print 'x'", "exec 'x'", "x = ()",
    ],
    "fstrings": [
        "f'{x!}'", "f'{x! r}'", "f'{x!z}'", "f'{x!r}'", "f'{x!s:>10}'", "f'{x!a}'", "f'{x!r }'",
        "f'{x!r=}'", "f'{x=!r}'", "f'{x=!r:10}'", "f'{x = }'", "f'{x==}'", "f'{x!=y}'",
        "f'{x=}'", "f'{x:{y}}'", "f'{x:{y:{z}}}'", "f'{x:{y:{z:{w}}}}'", "f'{x:{y!r}}'",
        "f'{x:{y}=}'", "f'{*a}'", "f'{*a,}'", "f'{yield}'", "f'{lambda x: 1}'",
        "f'{(lambda x: 1)}'", "f'{lambda x:{y}}'", "f'{lambda: 1}'", "f'{x:=1}'", "f'{(x:=1)}'",
        "f'{}'", "f'{ }'", "f'{'", "f'}'", "f'{{}}'", "f'{x}}'", "f'{{x}'", "f'{x' f'}'",
        "f'{a['b']}'", "f'{\"a\"}'", "f'{'a' 'b'}'", "f'{f'{f'{x}'}'}'", "f'{x:}'", "f'{x:!r}'",
        "f'{x!r:}'", "f'{x}' f'{y}' 'z'", "f'a' b'c'", "'a' f'b' 'c'", "print(f'{a}' b'x')",
        "f'''{\nx\n}'''", "f'''{x # comment\n}'''", "f'{x # comment}'", "f'{x\n}'",
        "f'\\N{LATIN SMALL LETTER A}'", "f'\\N{bogus}'", "rf'\\N{bogus}'", "f'{x:\\N{bogus}}'",
        "f'{x:\\xz}'", "f'{{\\xz}}'", "f'\\{6}'", "f'\\{{x}}'", "f'\\x4{x}'", "fr'\\x4{x}'",
        "f'{x:{y}{z}}'", "f'{x:a{y}b}'", "f'{x!r:{y}}'", "f'{a:b:c}'", "f'{a[1:2]}'",
        "f'{a:=b}'", "f'{ {a: b} }'", "f'{ {a} }'", "f'{{a}}'", "f'{1:{2:{3}}}'",
        "f'{x:{lambda: 1}}'", "f'{x.y}'", "f'{x!r!s}'", "f'{x=:>4}'", "f'{x:>{w}.{p}f}'",
        "f'{a}{b}{c}'", "f'{a!r}{b!s}'", "f'{await x}'", "f'{x for x in y}'",
        "f'{[x for x in y]}'", "f'{x if y else z}'", "f'{x if y}'", "f'{*a, *b}'",
        "f'{a, b}'", "f'{a,}'", "f'{,}'", "f'{x:{*a}}'", "F'{x}'", "Rf'{x}'", "fR'{x}'",
        "bf'{x}'", "uf'{x}'", "f'{\\n}'", "f'{x:\\n}'",
        # Found by fuzz_grammar: the token-level check once refused these.
        "f'{b!s}{a,!r}{b!s}'", "f'{a,!r}'", "f'{a,=}'", "f'{a,:x}'", "f'{a,}'",
    ],
    "literals": [
        "'a' b'c'", "b'a' 'c'", "b'a' b'c'", "b'\\xff' b'\\x'", "b'\\x4'", "'\\x4'", "'\\x'",
        "'\\u12'", "'\\u123g'", "'\\U0010FFFF'", "'\\U00110000'", "'\\UFFFFFFFF'", "'\\U1234'",
        "b'\\u1234'", "b'\\N{DASH}'", "u'\\N{LATIN SMALL LETTER A}'", "'\\N{foo}'",
        "'\\N{LATIN SMALL LETTER A}'", "'\\N{latin small letter a}'", "'\\N{}'", "'\\N'",
        "'\\N{LATIN SMALL LETTER A'", "'\\N{hangul syllable ga}'", "'\\N{HANGUL SYLLABLE GA}'",
        "'\\N{HANGUL SYLLABLE GAG}'", "'\\N{HANGUL SYLLABLE}'", "'\\N{HANGUL SYLLABLE XX}'",
        "'\\N{CJK UNIFIED IDEOGRAPH-4e00}'", "'\\N{CJK UNIFIED IDEOGRAPH-4E00}'",
        "'\\N{CJK UNIFIED IDEOGRAPH-2EBF0}'", "'\\N{CJK UNIFIED IDEOGRAPH-9FFF}'",
        "'\\N{CJK UNIFIED IDEOGRAPH-A000}'", "'\\N{CJK UNIFIED IDEOGRAPH-04E00}'",
        "'\\N{CJK COMPATIBILITY IDEOGRAPH-F900}'", "'\\N{TANGUT IDEOGRAPH-17000}'",
        "'\\N{nushu character-1b170}'", "'\\N{lf}'", "'\\N{LINE FEED}'", "'\\N{NULL}'",
        "'\\N{nbsp}'", "'\\N{BOM}'", "'\\N{zwj}'", "'\\N{latin capital letter gha}'",
        "'\\N{LATIN CAPITAL LETTER OI}'", "'\\N{BYTE ORDER MARK}'", "'\\N{DASH}'",
        "'\\N{HYPHEN-MINUS}'", "'\\N{<control-000A>}'", "'\\N{LATIN SMALL LETTER I WITH MACRON AND GRAVE}'",
        "'\\N{KEYCAP NUMBER SIGN}'", "'\\N{IDEOGRAPHIC DESCRIPTION CHARACTER ROTATION}'",
        "'\\N{CJK STROKE HXG}'", "'\\N{SPACE }'", "'\\N{ SPACE}'", "'\\N{SPACE\\n}'",
        "'\\N{TANGUT COMPONENT-001}'", "'\\N{KHITAN SMALL SCRIPT CHARACTER-18B00}'",
        "b'\\xe9'", "b'é'", "rb'é'", "br'\\x'", "rb'\\x'", "r'\\x'", "r'\\N{foo}'", "'\\777'",
        "b'\\777'", "'\\d'", "b'\\d'", "'\\\n'", "b'\\\n'", "'''\\\n'''", "'a\\\\'", "'\\''",
        "'''a''' '''b'''", "'abc", "'''abc", "\"abc\n\"", "u'x'", "ur'x'", "bu'x'", "B'x'",
        "x = " + "1" * 4301, "x = " + "1" * 4300, "x = " + "0" * 4400, "x = 1_" + "1" * 4300,
        "x = " + "1" * 4300 + "_1", "x = 0x" + "f" * 5000, "x = " + "1" * 5000 + ".0",
        "x = " + "1" * 5000 + "j", "x = " + "1" * 5000 + "e1", "x = 00", "x = 0_0", "x = 01",
        "0x_1", "1__0", "1_", "0b102", "0o8", "1e", "1.e5", ".5j", "1J", "0xj", "1if x else y",
        "1_000.000_1", "x = 1 2", "x = 'a' 1",
    ],
    "patterns": [
        "match x:\n case {**_}: pass", "match x:\n case {**rest}: pass",
        "match x:\n case {**rest, 'a': 1}: pass", "match x:\n case {'a': 1, **rest,}: pass",
        "match x:\n case a|b: pass", "match x:\n case _: pass\n case 1: pass",
        "match x:\n case [*a, *b]: pass", "match x:\n case C(a=1, a=2): pass",
        "match x:\n case C(a=1, b): pass", "match x:\n case C(a, b=1,): pass",
        "match x:\n case C(,): pass", "match x:\n case C(): pass", "match x:\n case a.b.C(): pass",
        "match x:\n case -1j: pass", "match x:\n case 1+2: pass", "match x:\n case -1-2j: pass",
        "match x:\n case 1+2j: pass", "match x:\n case 1j+2j: pass", "match x:\n case 1+-2j: pass",
        "match x:\n case -0: pass", "match x:\n case +1: pass", "match x:\n case 1-x: pass",
        "match x:\n case {1+2j: _}: pass", "match x:\n case {a: 1}: pass",
        "match x:\n case {a.b: 1}: pass", "match x:\n case {_.x: 1}: pass",
        "match x:\n case {None: 1, True: 2, 'a' 'b': 3}: pass", "match x:\n case {}: pass",
        "match x:\n case {,}: pass", "match x:\n case _(x): pass", "match x:\n case _.x: pass",
        "match x:\n case f'x': pass", "match x:\n case 'a' 'b': pass", "match x:\n case b'a': pass",
        "match x:\n case 'a' b'b': pass", "match x:\n case a as b: pass",
        "match x:\n case a as _: pass", "match x:\n case a as b.c: pass",
        "match x:\n case a as b as c: pass", "match x:\n case (a as b) as c: pass",
        "match x:\n case a | b as c: pass", "match x:\n case *a: pass",
        "match x:\n case *a,: pass", "match x:\n case *_, a: pass", "match x:\n case a, *b, c: pass",
        "match x:\n case (*a): pass", "match x:\n case (*a,): pass", "match x:\n case (): pass",
        "match x:\n case []: pass", "match x:\n case [a,]: pass", "match x:\n case (a): pass",
        "match x:\n case a.b: pass", "match x:\n case a.b.c | d.e: pass", "match x:\n case a=1: pass",
        "match x:\n case a if a > 1: pass", "match x:\n case a if b := 1: pass",
        "match x:\n case a if *b: pass", "match x:\n case *a.b, c: pass", "match x:\n case **a: pass",
        "match x:\n case a + b: pass", "match x:\n case None | True | False: pass",
        "match x:\n case -a: pass", "match x:\n case 1:\n  pass\n case 2: pass",
        "match x:\n  case 1: pass\n case 2: pass", "match x:\npass", "match x:\n pass",
        "match x: pass", "match x:\n case 1: pass\nelse: pass", "match x, y:\n case 1: pass",
        "match *x, y:\n case 1: pass", "match *x:\n case 1: pass", "match x,:\n case 1: pass",
        "match (x):\n case 1: pass", "match = 1", "match(x)", "match[x]: int", "match.x = 1",
        "match x", "match x: int", "match -x:\n case 1: pass", "match lambda: 1:\n case 1: pass",
        "match x := 1:\n case 1: pass", "match yield:\n case 1: pass", "case = 1", "_ = 1",
        "match x:\n case case: pass", "match x:\n case match: pass", "match match:\n case _: pass",
        "match x:\n case [a, [b, {c: d}]]: pass", "match x:\n case C(D(E(a))): pass",
    ],
    "statements": [
        "import a.b as c", "import a as b.c", "import (a)", "import a, b.c as d", "import",
        "import a.", "import .a", "from .a import (b,)", "from . import *", "from .a import b,",
        "from . import (*)", "from a import (b as c, d)", "from a import ()", "from ... import a",
        "from .... import a", "from .a.b import c", "from a import b as c.d", "from import a",
        "from a import *, b", "from a import b c", "from __future__ import braces",
        "global x, y", "global", "global x,", "nonlocal x", "return 1", "return", "return *a",
        "raise", "raise x from y", "raise from y", "raise x from", "raise x, y", "assert x, y",
        "assert", "assert x,", "assert (x, y)", "pass; pass", "pass;", "pass;;", "; pass",
        "break; continue", "x = 1;\n", "if x: pass\nelif y: pass\nelse: pass", "if x: pass\nelse if y: pass",
        "else: pass", "elif x: pass", "if x:\npass", "if x:\n  pass\n pass", "if x:\n    pass\n  pass",
        "if x: pass; y = 1", "if x: if y: pass", "if x: for y in z: pass", "while x: pass\nelse: pass",
        "for x in y: pass\nelse: pass", "for x in *a, *b: pass", "for x in y, z: pass",
        "for x in y if z: pass", "try:\n pass\nexcept* A: pass\nexcept B: pass",
        "try:\n pass\nexcept*: pass", "try:\n pass\nexcept A, B: pass", "try:\n pass\nexcept (A, B): pass",
        "try:\n pass\nexcept A as b: pass", "try:\n pass\nexcept A as b.c: pass",
        "try:\n pass\nexcept A as (b): pass", "try:\n pass", "try:\n pass\nfinally: pass",
        "try:\n pass\nelse: pass", "try:\n pass\nexcept: pass\nexcept A: pass",
        "try:\n pass\nexcept: pass\nelse: pass\nfinally: pass", "try:\n pass\nfinally: pass\nelse: pass",
        "try:\n pass\nexcept* A: pass\nelse: pass", "try: pass\nexcept: pass",
        "with (a, b): pass", "with (a as b, c as d,): pass", "with (yield): pass", "with (a, b) as c: pass",
        "with (a as b) as c: pass", "with (a): pass", "with (): pass", "with (a,): pass",
        "with (a as b), c: pass", "with a, (b as c): pass", "with (a as b, c) as d: pass",
        "with a as b,: pass", "with (a as b,): pass", "with a as (b): pass", "with *a: pass",
        "with (*a): pass", "with (*a,): pass", "with a as [b, c]: pass", "with: pass",
        "class A:\n def f(self): pass\n x = 1", "def f():\n \"doc\"\n return",
        "if True:\n\tx = 1\n        y = 2", "if True:\n        x = 1\n\ty = 2", " x = 1", "\tx = 1",
        "x = 1\n  y = 2", "def f():\n  x\n y", "\\\n", "x = 1 \\\n", "x = \\\n 1", "\x00",
        "x = 1\x00", "# \x00", "'\x00'", "\n\n\n", "", "# only a comment", "\ufeffx = 1",
        "x = 1\r\ny = 2", "x = (1,\n2)", "x = [1,\n", "x = )", "x = (]", "print(1))", "\x0c x = 1",
        "if x:\n\x0c  y", "async def f():\n async with a: pass", "def f():\n yield = 1",
        "x = lambda: (yield)", "def f(): nonlocal x", "class A: return 1", "await = 1",
        "async = 1", "x.async = 1", "x.match = 1", "def match(): pass", "def async(): pass",
        "print(end='')", "exec('x')", "x: int\ny: str = 'a'", "x.y: int", "del x; x = 1",
        "while 1: break\nelse: continue",
    ],
}


def nesting_cases():
    """Deep nesting around CPython's limits, as {"parts": [[text, repeat], ...]} rows: the
    code is the concatenation of each text repeated so many times."""
    out = []
    for n in (5969, 5970):
        out.append([["-", n], ["x", 1]])
        out.append([["not ", n], ["x", 1]])
        out.append([["x if x else ", n], ["x", 1]])
    for n in (2984, 2985):
        out.append([["lambda:", n], ["x", 1]])
        out.append([["x**", n], ["x", 1]])
        out.append([["(", 1], ["lambda:", n - 4], ["x)", 1]])
    for n in (5960, 5961):
        out.append([["(", 1], ["-", n], ["x)", 1]])
    for n in (5964, 5965):
        out.append([["f(", 1], ["-", n], ["x)", 1]])
        out.append([["a[", 1], ["-", n], ["x]", 1]])
    for n in (5955, 5956):
        out.append([["f'{", 1], ["-", n], ["x}'", 1]])
    for n in (5961, 5962):
        out.append([["def f():\n  return ", 1], ["-", n], ["x", 1]])
    for n in (5967, 5968):
        out.append([["y = ", 1], ["-", n], ["x", 1]])
    for n in (199, 200, 201):
        out.append([["(", n], ["x", 1], [")", n]])
        out.append([["[", n], ["]", n]])
        out.append([["x = ", 1], ["{", n], ["}", n]])
        out.append([["f(", n], [")", n]])
    # ast.parse's own limit on the depth of the tree it hands back.
    for n in (9994, 9995):
        out.append([["a.", n], ["b", 1]])
        out.append([["1+", n], ["1", 1]])
        out.append([["f", 1], ["()", n]])
        out.append([["x = ", 1], ["a+", n], ["a", 1]])
    for n in (9992, 9993):
        out.append([["def f(x: ", 1], ["a+", n], ["a): pass", 1]])
        out.append([["g(k=", 1], ["a+", n], ["a)", 1]])
        out.append([["f'{", 1], ["a+", n], ["a}'", 1]])
        out.append([["(x for x in ", 1], ["a+", n], ["a)", 1]])
        out.append([["match x:\n case 1: ", 1], ["a+", n], ["a", 1]])
    for n in (9990, 9991):
        out.append([["f'{x:{", 1], ["a+", n], ["a}}'", 1]])
    for n in (5964, 5965):
        out.append([["if x: pass\n", 1], ["elif x: pass\n", n]])
    for n in (5874, 5875, 5876):
        out.append([["(((((", 1], ["-", n], ["x)))))", 1]])
    for n in (3000, 10000):
        out.append([["(", n], [")", n]])
        out.append([["-", n], ["x", 1]])
        out.append([["lambda:", n], ["x", 1]])
        out.append([["a.", n], ["b", 1]])
        out.append([["a[0]", n]])
        out.append([["x = 1\n", n]])
        out.append([["x = 1; ", n]])
        out.append([["a = ", n], ["1", 1]])
        out.append([["a, ", n], ["b", 1]])
        out.append([["'a' ", n]])
        out.append([["a + ", n], ["b", 1]])
        out.append([["a < ", n], ["b", 1]])
        out.append([["x = [", 1], ["1, ", n], ["]", 1]])
    return out


def expand(parts):
    return "".join(text * repeat for text, repeat in parts)


def write_nesting(outdir):
    path = os.path.join(outdir, "nesting.jsonl")
    with open(path, "w", encoding="utf-8") as f:
        for parts in nesting_cases():
            row = {"parts": parts}
            row.update(verdict(expand(parts)))
            f.write(json.dumps(row, ensure_ascii=False) + "\n")
    print("%s: %d cases" % (path, len(nesting_cases())), file=sys.stderr)


def write(outdir, area, codes):
    seen = set()
    path = os.path.join(outdir, area + ".jsonl")
    with open(path, "w", encoding="utf-8") as f:
        for code in codes:
            if code in seen:
                continue
            seen.add(code)
            row = {"code": code}
            row.update(verdict(code))
            f.write(json.dumps(row, ensure_ascii=False) + "\n")
    print("%s: %d cases" % (path, len(seen)), file=sys.stderr)


def main():
    args = sys.argv[1:]
    outdir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "grammar")
    snippets = mutants = None
    while args:
        a = args.pop(0)
        if a == "--snippets":
            snippets = args.pop(0)
        elif a == "--mutants":
            mutants = args.pop(0)
        else:
            outdir = a
    sys.setrecursionlimit(10000)
    for area, codes in AREAS.items():
        write(outdir, area, codes)
    write_nesting(outdir)
    if snippets:
        codes = []
        with open(snippets, encoding="utf-8") as f:
            for line in f:
                code = json.loads(line)["code"]
                try:
                    code.encode("utf-8")
                except UnicodeEncodeError:
                    continue
                if len(code) <= 300:
                    codes.append(code)
        write(outdir, "cpython_tests", codes)
    if mutants:
        codes = []
        with open(mutants, encoding="utf-8") as f:
            for line in f:
                codes.append(json.loads(line)["code"])
        write(outdir, "mutants", codes)


if __name__ == "__main__":
    main()
