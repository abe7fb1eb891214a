if 1: pass
else: break