match x:
 case _.x: pass