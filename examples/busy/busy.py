"""A heavy Python script for trying out `pelmora watch`.

Run it from this directory:  python3 busy.py [SECONDS]   (default 6)
It keeps one core busy for SECONDS seconds and prints its progress once a second. It
imports `helper`, a module that lies beside it, so an offloaded copy needs the bundle.
"""

import sys

from helper import progress, spin


def main():
    seconds = int(sys.argv[1]) if len(sys.argv) > 1 else 6
    checksum = 0
    for step in range(1, seconds + 1):
        checksum = (checksum + spin(1.0)) % 1000000007
        print(progress(step, seconds, checksum), flush=True)
    print(f"busy: done after {seconds} s, result {checksum}", flush=True)


if __name__ == "__main__":
    main()
