RULES = [lambda a: True, lambda a: len(a) > 0]
