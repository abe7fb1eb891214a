
            res = [__class__ for x in [1]]
        