match x:
pass