@x := y
def f(): pass