try: pass
except: pass