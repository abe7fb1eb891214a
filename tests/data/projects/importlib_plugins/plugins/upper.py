def apply(s):
    return s.upper()
