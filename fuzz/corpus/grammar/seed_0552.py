match x:
 case a if *b: pass