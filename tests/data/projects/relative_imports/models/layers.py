def conv(width):
    return {"kind": "conv", "width": width}
