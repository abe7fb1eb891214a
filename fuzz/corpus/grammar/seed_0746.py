lambda a,b,/,c,*b,c,*d,*e,c: None
