import os

_HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(_HERE, "vocab.txt")) as f:
    WORDS = f.read().split()

def size():
    return len(WORDS)

def first(n):
    return WORDS[:n]
