g.throw(ValueError, TypeError(1))  # mismatched type, rewrapped
