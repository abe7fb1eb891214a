from sys import (stdin
, stderr, stdout,)