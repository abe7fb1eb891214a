def render(rows, extra):
    return "|".join(rows + extra)
