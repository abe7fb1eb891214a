import math

def gcd_all(xs):
    g = 0
    for x in xs:
        g = math.gcd(g, x)
    return g
