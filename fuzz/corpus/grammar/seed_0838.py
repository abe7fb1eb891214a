if a:
 pass
elif b:
 pass
else: