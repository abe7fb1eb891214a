if x:
  y