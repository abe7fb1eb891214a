import importlib
import pkgutil

REGISTRY = {}

def register(fn):
    REGISTRY[fn.__name__] = fn
    return fn

for info in pkgutil.iter_modules(__path__):
    importlib.import_module(__name__ + "." + info.name)
