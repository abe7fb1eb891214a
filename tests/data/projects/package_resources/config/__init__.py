NAME = 'base'
