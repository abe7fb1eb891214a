import argparse

import schedule

parser = argparse.ArgumentParser()
parser.add_argument("--epochs", type=int, default=1)
parser.add_argument("--name", default="run")
args = parser.parse_args()
for epoch in range(args.epochs):
    print(args.name, "epoch", epoch, "lr", schedule.lr(epoch))
