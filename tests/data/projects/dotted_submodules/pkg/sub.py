import pkg

def f(args):
    return "v%s:%s" % (pkg.VERSION, ",".join(args) or "-")
