lambda (x, y, z, w): None
