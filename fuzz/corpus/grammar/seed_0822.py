g.throw(ValueError(1), "foo")       # bad args
