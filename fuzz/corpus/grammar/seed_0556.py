match x:
 case None | True | False: pass