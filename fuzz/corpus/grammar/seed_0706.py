def f():
 yield = 1