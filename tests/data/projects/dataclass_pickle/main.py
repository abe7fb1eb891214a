import pickle
from dataclasses import dataclass

from records import Sample, summarize


@dataclass
class Batch:
    samples: list


batch = Batch([Sample("x", 1.5), Sample("y", 2.5)])
restored = pickle.loads(pickle.dumps(batch))
print(restored == batch, summarize(restored.samples))
print(type(restored).__module__, type(restored.samples[0]).__module__)
