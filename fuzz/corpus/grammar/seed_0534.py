match x:
 case a as b as c: pass