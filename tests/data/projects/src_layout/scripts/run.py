import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))

from mylib import pipeline  # noqa: E402

print(pipeline.run(int(sys.argv[1]) if len(sys.argv) > 1 else 2))
