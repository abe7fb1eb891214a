
            if x:
                y = 1
                foo = 1
        