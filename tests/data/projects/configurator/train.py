batch_size = 4
learning_rate = 0.1
out_dir = "out"
exec(open("configurator.py").read())
print("batch_size", batch_size, "learning_rate", learning_rate, "out_dir", out_dir)
