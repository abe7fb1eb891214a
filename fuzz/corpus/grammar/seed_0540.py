match x:
 case a, *b, c: pass