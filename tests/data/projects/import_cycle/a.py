import b

def ping(n):
    return "a%d " % n + (b.pong(n - 1) if n > 0 else "done")
