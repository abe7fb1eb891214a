import helper
from mathx import gcd_all

print(helper.greet("job"), gcd_all([12, 18, 30]))
