class A:
 def f(self): pass
 x = 1