#!/usr/bin/env python3
"""Prints the C++ table of the Unicode name aliases that ICU's U_CHAR_NAME_ALIAS lookup does
not cover (control, alternate, figment and abbreviation aliases), for string_literals.cpp.

Usage: grammar_name_aliases.py [/usr/share/unicode/NameAliases.txt]
"""
import sys

path = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode/NameAliases.txt"
rows = []
with open(path, encoding="utf-8") as f:
    for line in f:
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        code, name, kind = line.split(";")
        if kind == "correction":
            continue
        rows.append((name.upper(), int(code, 16)))
rows.sort()
for name, code in rows:
    print('    {"%s", 0x%04X},' % (name, code))
