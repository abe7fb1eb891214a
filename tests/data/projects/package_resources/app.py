import json
from importlib import resources

import config

data = json.loads(resources.files("config").joinpath("defaults.json").read_text())
print("lr", data["lr"], "layers", data["layers"], "name", config.NAME)
