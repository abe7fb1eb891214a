def double(x):
    return 2 * x

def inc(x):
    return x + 1
