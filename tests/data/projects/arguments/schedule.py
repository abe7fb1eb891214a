def lr(epoch):
    return round(0.1 * 0.5 ** epoch, 4)
