import vocab
print(vocab.size(), vocab.first(3))
