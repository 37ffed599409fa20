"""Eight threads encoding shared documents at once get the same bytes as one thread."""
import sys
import threading

from vantra_cbor import dumps


class Index:
    """Runs Python code inside a call, so that threads switch mid-encoding."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


DOCUMENTS = [
    ({"id": i, "name": "n%d" % i, "tags": ["a", "é", Index(i)], "score": i / 7, "blob": bytes(range(i % 256))}, args)
    for i in range(40) for args in [(), (False,), (True, 10)]
] + [([Index(i) for i in range(2000)] + ["x" * 70000], ()), (list(range(100000)), (False,))]


def test_concurrent_calls_agree():
    expected = [dumps(doc, *args) for doc, args in DOCUMENTS]
    mismatches, errors = [], []

    def work(seed):
        try:
            for round in range(20):
                for k in range(len(DOCUMENTS)):
                    j = (k + seed + round) % len(DOCUMENTS)
                    doc, args = DOCUMENTS[j]
                    if dumps(doc, *args) != expected[j]:
                        mismatches.append(j)
        except BaseException as e:  # reported below, not lost in the thread
            errors.append(repr(e))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(seed,)) for seed in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == [] and mismatches == []
