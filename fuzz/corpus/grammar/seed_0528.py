match x:
 case 'a' 'b': pass