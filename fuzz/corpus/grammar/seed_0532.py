match x:
 case a as _: pass