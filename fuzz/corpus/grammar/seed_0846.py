class foo:
  def bar(self): pass