match x:
 case match: pass