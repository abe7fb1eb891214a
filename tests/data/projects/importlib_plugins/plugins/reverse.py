def apply(s):
    return s[::-1]
