match x:
 case a.b.C(): pass