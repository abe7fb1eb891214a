match x:
 case 1:
  pass
 case 2: pass