
            class C[T]:
                T = "class"
                type Alias = lambda: T
        