match x:
 case {a.b: 1}: pass