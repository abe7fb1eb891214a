if x:
  pass
 pass