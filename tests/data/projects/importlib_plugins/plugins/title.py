def apply(s):
    return s.title()
