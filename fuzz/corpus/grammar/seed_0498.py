match x:
 case {**rest, 'a': 1}: pass