x: int
y: str = 'a'