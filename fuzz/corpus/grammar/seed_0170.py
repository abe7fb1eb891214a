@a.b[c](d)
class A: pass