match x:
 case {**_}: pass