try:
 pass
except: pass
except A: pass