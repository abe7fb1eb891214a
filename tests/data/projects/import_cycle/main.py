import a
print(a.ping(3))
