def foo(a,*a, b, **c, *d):
   pass
