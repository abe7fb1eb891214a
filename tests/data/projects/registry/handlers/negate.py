from handlers import register

@register
def negate(x):
    return -x
