try:
 pass
finally: pass