match x:
 case {1+2j: _}: pass