match x:
 case a.b.c | d.e: pass