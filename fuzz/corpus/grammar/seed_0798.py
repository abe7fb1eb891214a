firstn(exclude_multiples(3, intsfrom(1)), 6)
