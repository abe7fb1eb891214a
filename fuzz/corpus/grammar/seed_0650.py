try:
 pass
except A as (b): pass