NAME = 'pkg'
from common import GREETING
