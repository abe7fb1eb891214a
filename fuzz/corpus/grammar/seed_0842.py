try:
  pass
except
  pass
