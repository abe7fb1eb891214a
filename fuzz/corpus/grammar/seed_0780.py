def m235():
    yield 1
    me_times2 = times(2, m235())
    me_times3 = times(3, m235())
    me_times5 = times(5, m235())
    for i in merge(merge(me_times2,
                         me_times3),
                   me_times5):
        yield i
