class Foo:
            def bar(self):
                [[(__x:=2) for _ in range(2)] for __x in range(2)]
        