import sys
import pkg.sub
from utils.metrics import f1, precision

preds = [1, 0, 1, 1, 0, 1]
gold = [1, 0, 0, 1, 0, 1]
print("precision %.3f" % precision(preds, gold))
print("f1 %.3f" % f1(preds, gold))
print("sub", pkg.sub.f(sys.argv[1:]))
