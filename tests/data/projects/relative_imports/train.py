import sys
from models import ResNet, count_params

def main():
    net = ResNet(depth=int(sys.argv[1]) if len(sys.argv) > 1 else 18)
    print("model", net.describe())
    print("params", count_params(net))

if __name__ == "__main__":
    main()
