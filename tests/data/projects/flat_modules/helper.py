def greet(name):
    return 'hello ' + name
