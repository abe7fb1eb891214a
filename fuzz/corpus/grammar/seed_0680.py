if True:
	x = 1
        y = 2