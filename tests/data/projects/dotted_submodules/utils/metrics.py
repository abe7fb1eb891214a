def precision(p, g):
    tp = sum(1 for a, b in zip(p, g) if a == b == 1)
    return tp / max(1, sum(p))

def recall(p, g):
    tp = sum(1 for a, b in zip(p, g) if a == b == 1)
    return tp / max(1, sum(g))

def f1(p, g):
    a, b = precision(p, g), recall(p, g)
    return 2 * a * b / (a + b)
