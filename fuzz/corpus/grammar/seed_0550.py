match x:
 case a if a > 1: pass