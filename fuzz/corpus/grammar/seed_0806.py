def foo(a,*b=3,c):
   pass
