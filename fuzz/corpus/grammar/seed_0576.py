match lambda: 1:
 case 1: pass