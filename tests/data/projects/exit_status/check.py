import sys
import rules

failures = [r for r in rules.RULES if not r(sys.argv[1:])]
print("failed", len(failures))
sys.exit(2 if failures else 0)
