class A[T]()
    pass
