match x:
 case {None: 1, True: 2, 'a' 'b': 3}: pass