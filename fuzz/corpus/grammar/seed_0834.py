def f(p1, *, k1, **k1):
  pass
