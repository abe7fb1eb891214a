import sys
from ast import literal_eval

for arg in sys.argv[1:]:
    if not arg.startswith("--"):
        continue
    key, val = arg[2:].split("=")
    try:
        val = literal_eval(val)
    except (SyntaxError, ValueError):
        pass
    globals()[key] = val
