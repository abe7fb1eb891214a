
def f():
    "docstring1"
    def h():
        "docstring2"
        return 42

    class C:
        "docstring3"
        pass

    return h
