import csv

with open("data/train.csv") as f:
    rows = list(csv.reader(f))
header, body = rows[0], rows[1:]
print(header)
print("mean", sum(float(r[1]) for r in body) / len(body))
