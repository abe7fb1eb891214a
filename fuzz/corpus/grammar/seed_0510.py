match x:
 case 1+2: pass