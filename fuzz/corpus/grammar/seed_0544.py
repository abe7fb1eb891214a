match x:
 case []: pass