"""Local module of the busy example: the CPU-bound work and its progress line."""

import time


def spin(seconds):
    """Burn one core for about `seconds` and return a checksum of the work done."""
    deadline = time.monotonic() + seconds
    total = 0
    n = 0
    while time.monotonic() < deadline:
        for _ in range(20000):
            n += 1
            total = (total * 31 + n * n) % 1000000007
    return total


def progress(step, steps, checksum):
    return f"busy: step {step}/{steps}, checksum {checksum}"
