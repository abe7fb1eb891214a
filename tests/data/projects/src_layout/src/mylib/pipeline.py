from mylib.steps import double, inc

def run(n):
    value = 1
    for _ in range(n):
        value = inc(double(value))
    return "pipeline %d -> %d" % (n, value)
