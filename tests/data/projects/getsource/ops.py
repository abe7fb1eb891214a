def scale(x):
    # multiplies by three
    return 3 * x
