from tasks.clean import clean
from tasks import report
import sys

rows = ["  a ", "b  ", " c"]
print(report.render(clean(rows), sys.argv[1:]))
