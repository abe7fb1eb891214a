#!/usr/bin/env python3.13
"""Extracts the source snippets that CPython 3.13's own syntax tests hand to the parser.

From each test module: the string arguments of calls to compile, exec, eval, ast.parse and
the test helpers that wrap them (any call whose first argument is a string literal, or a
textwrap.dedent of one, or a literal concatenation), the examples of doctests in the
module's docstrings, and the string elements of tuples and lists that the tests iterate
over. The oracle decides every snippet, so non-code strings do no harm.

Usage: extract_snippets.py [TESTDIR] > snippets.jsonl   (lines {"code", "origin"})
"""
import ast
import doctest
import json
import os
import sys
import textwrap
import warnings

TEST_MODULES = [
    "test_syntax", "test_grammar", "test_fstring", "test_exceptions", "test_patma",
    "test_type_params", "test_positional_only_arg", "test_named_expressions", "test_unparse",
    "test_string_literals", "test_genexps", "test_generators", "test_eof", "test_type_aliases",
    "test_pep646_syntax", "test_compile", "test_coroutines", "test_with", "test_global",
    "test_future_stmt", "test_listcomps", "test_setcomps", "test_dictcomps", "test_decorators",
    "test_unicode_identifiers", "test_keywordonlyarg", "test_tokenize", "test_ast",
    "test_baseexception", "test_except_star", "test_annotationlib", "test_type_annotations",
    "test_flufl", "test_funcattrs", "test_scope", "test_opcodes", "test_raise", "test_print",
    "test_string", "test_ucn", "test_codeop", "test_traceback",
]


def literal_value(node):
    """The text of a string literal, a literal concatenation, or textwrap.dedent(...)."""
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Add):
        a, b = literal_value(node.left), literal_value(node.right)
        if a is not None and b is not None:
            return a + b
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Mult):
        a = literal_value(node.left)
        if a is not None and isinstance(node.right, ast.Constant) and isinstance(node.right.value, int):
            if 0 <= node.right.value <= 1000:
                return a * node.right.value
    if isinstance(node, ast.Call) and node.args:
        f = node.func
        name = f.attr if isinstance(f, ast.Attribute) else getattr(f, "id", "")
        if name == "dedent":
            inner = literal_value(node.args[0])
            if inner is not None:
                return textwrap.dedent(inner)
    return None


def snippets_of_module(path, origin):
    with open(path, encoding="utf-8", errors="replace") as f:
        source = f.read()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tree = ast.parse(source)
    out = []
    parser = doctest.DocTestParser()
    for node in ast.walk(tree):
        if isinstance(node, ast.Call):
            for arg in node.args[:2]:
                text = literal_value(arg)
                if text is not None:
                    out.append((text, "%s:%d" % (origin, node.lineno)))
        elif isinstance(node, (ast.Tuple, ast.List, ast.Set)):
            for el in node.elts:
                text = literal_value(el)
                if text is not None:
                    out.append((text, "%s:%d" % (origin, el.lineno)))
        elif isinstance(node, ast.Assign):
            text = literal_value(node.value)
            if text is not None:
                out.append((text, "%s:%d" % (origin, node.lineno)))
        if isinstance(node, (ast.Module, ast.FunctionDef, ast.ClassDef, ast.Assign)):
            doc = None
            if isinstance(node, ast.Assign):
                doc = literal_value(node.value)
            else:
                doc = ast.get_docstring(node, clean=False)
            if doc and ">>>" in doc:
                try:
                    examples = parser.get_examples(doc)
                except ValueError:
                    examples = []
                for ex in examples:
                    out.append((ex.source, "%s:doctest:%d" % (origin, ex.lineno)))
    return out


def main():
    testdir = sys.argv[1] if len(sys.argv) > 1 else "/root/.pyenv/versions/3.13.0/lib/python3.13/test"
    seen = set()
    for mod in TEST_MODULES:
        paths = []
        p = os.path.join(testdir, mod + ".py")
        if os.path.isfile(p):
            paths.append((p, mod + ".py"))
        d = os.path.join(testdir, mod)
        if os.path.isdir(d):
            for name in sorted(os.listdir(d)):
                if name.endswith(".py"):
                    paths.append((os.path.join(d, name), "%s/%s" % (mod, name)))
        for path, origin in paths:
            for text, where in snippets_of_module(path, origin):
                if text in seen:
                    continue
                seen.add(text)
                print(json.dumps({"code": text, "origin": where}))


if __name__ == "__main__":
    main()
