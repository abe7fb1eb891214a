type A[T = (yield 3)] = int
