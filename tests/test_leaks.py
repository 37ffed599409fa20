"""Many calls of dumps and loads, on success and on every error path, leave memory and references as they were."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

CORPUS_RUN = """
import decimal, gc, json, sys
import numpy as np
from vantra_cbor import CBORDecodeError, dumps, loads

class Raising:
    def __index__(self):
        raise ValueError("hook")

class Unequal(int):
    def __eq__(self, other):
        return False
    __hash__ = int.__hash__
    def __str__(self):
        raise ValueError("no text")

own = [1]; own.append(own)
deep = []
for _ in range(5000):
    deep = [deep]
corpus = [  # (value, args)
    ({"text": "h\\u00e9llo", "n": [1, -2, 2**63, 1.5, 0.1, None, True, b"\\x00" * 40]}, ()),
    ([list(range(300)), {"k": (1, 2)}, "x" * 5000], (False,)),
    ({"a": [[1]]}, (True, 3)),
    ([np.float32(1.5), np.int64(-7), decimal.Decimal("2.5")], ()),
    (2**64, ()),                      # out of range
    ([1, Unequal(3)], ()),            # out of range, text raising
    ([object()], ()),                 # cast error
    (object(), ()),                   # TypeError
    ("a\\ud800", ()),                 # unencodable text
    ([[[1]]], (True, 2)),             # depth
    ([Raising()], ()),                # hook raising
    ({1: 2}, ("yes",)),               # bad option
]
nesting = [(own, ()), (deep, ())]     # recursion errors: slower, so fewer rounds
documents = [bytes.fromhex(h) for h in (  # read back, and malformed at every stage
    "bf61619f01f94100c249010000000000000000ffff", "a1820102d82076687474703a2f2f782e636f6d",
    "c074323031332d30332d32315432303a30343a30305a", "c48221196ab3", "d8255000112233445566778899aabbccddeeff",
    "d9010283010203", "d903ec6a313934302d31302d3039", "d84b4400010002",
    "9f0102", "a2616101", "7f6161ff61", "5f4101", "c1fb7ff8000000000000", "a1a000", "62c328", "c4820161ff",
    "d8258100", "d84a430102", "d8258100d8",
)] + [bytes([0x81] * 100 + [0x80])]

def read_all():
    for data in documents:
        try:
            loads(data, tag_hook=None if data[0] != 0xd8 else (lambda t, v: [t, v]))
        except CBORDecodeError:
            pass

def run(times):
    for round in range(times):
        for value, args in corpus + (nesting if round % 50 == 0 else []):
            try:
                dumps(value, *args)
            except (TypeError, RuntimeError, RecursionError, ValueError):
                pass
        read_all()

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

run(500)
gc.collect()
refs = [sys.getrefcount(value) for value, _ in corpus + nesting] + [sys.getrefcount(d) for d in documents]
before = rss()
run(100000 // len(corpus))
gc.collect()
print(json.dumps({"growth": rss() - before, "refs_before": refs,
                  "refs_after": [sys.getrefcount(value) for value, _ in corpus + nesting] +
                                [sys.getrefcount(d) for d in documents]}))
"""


@pytest.mark.skipif(sys.platform != "linux", reason="the resident size is read from /proc")
def test_memory_and_references_stay_flat():
    env = dict(os.environ)
    if "asan" in env.get("LD_PRELOAD", ""):
        # AddressSanitizer holds freed blocks in a quarantine (256 MB by default),
        # which the resident size would count as growth.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64"
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(CORPUS_RUN)], capture_output=True, text=True,
                         timeout=900, env=env)
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    assert result["refs_after"] == result["refs_before"]
    assert result["growth"] < 4 * 1024 * 1024, result["growth"]
