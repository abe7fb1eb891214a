import importlib
import sys

names = sys.argv[1:] or ["upper"]
for name in names:
    plugin = importlib.import_module("plugins." + name)
    print(name, plugin.apply("offload"))
