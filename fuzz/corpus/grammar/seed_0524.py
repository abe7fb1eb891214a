match x:
 case {,}: pass