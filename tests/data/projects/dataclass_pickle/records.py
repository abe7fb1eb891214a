from dataclasses import dataclass


@dataclass(frozen=True)
class Sample:
    name: str
    value: float


def summarize(samples):
    return "%d samples, total %.1f" % (len(samples), sum(s.value for s in samples))
