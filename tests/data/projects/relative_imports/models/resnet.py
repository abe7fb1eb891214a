from .layers import conv

class ResNet:
    def __init__(self, depth):
        self.depth = depth
        self.layers = [conv(64 * (1 + i // 8)) for i in range(depth)]

    def describe(self):
        return "ResNet-%d" % self.depth
