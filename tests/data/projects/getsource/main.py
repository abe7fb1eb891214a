import inspect
import ops

src = inspect.getsource(ops.scale)
print(len(src.splitlines()), "lines")
print(src.splitlines()[0])
print(ops.scale(4))
