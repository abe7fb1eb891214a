import common
import pkg

print(common.GREETING, pkg.NAME)
