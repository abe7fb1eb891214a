match x:
 case C(,): pass