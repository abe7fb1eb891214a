match x:
 case [a, [b, {c: d}]]: pass