def f():
    yield 1
    return
