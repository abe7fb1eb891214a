def g():
    while True:
        break
    else:
        y = 2
    z = 3
