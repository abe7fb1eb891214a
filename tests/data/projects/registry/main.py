import sys
import handlers

for name in sorted(handlers.REGISTRY):
    print(name, handlers.REGISTRY[name](7))
sys.exit(len(handlers.REGISTRY))
