match x:
 case a | b as c: pass