match x, y:
 case 1: pass