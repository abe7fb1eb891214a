            match x:
                case {"a" : a, "b": b}:
                    pass
            