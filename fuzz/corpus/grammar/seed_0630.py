if x: pass
else if y: pass