for x in y: pass
else: pass