match yield:
 case 1: pass