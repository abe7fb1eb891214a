try:
 pass
except A, B: pass