for (a, b()) in b: pass
