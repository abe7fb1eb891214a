match x:
 case C(a=1, b): pass