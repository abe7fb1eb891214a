match x:
 case 'a' b'b': pass