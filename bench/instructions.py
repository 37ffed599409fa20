"""Instructions per dumps call, counted by callgrind: repeatable where timings are not.

    python bench/instructions.py [payload ...]

Each payload is run twice under callgrind, once with the calls and once without,
so the difference is the calls alone (setup and interpreter start cancel out).
"""
import os
import re
import subprocess
import sys
import tempfile

PAYLOADS = {
    "tiny": '{"a": 1}',
    "int": "1",
    "ints": "[r.choice([r.randrange(24), r.randrange(2**16), r.randrange(2**32), -r.randrange(2**63),"
            " r.randrange(2**63)]) for _ in range(10000)]",
    "floats": "[[r.uniform(-180, 180), r.uniform(-90, 90)] for _ in range(2000)]",
    "tweets": '[{"id": i, "text": "h\\u00e9llo w\\u00f6rld \\u4f60\\u597d " * 3, "user": {"name": "n%d" % i,'
              ' "verified": bool(i % 2), "followers": i * 37, "bio": None}, "tags": ["a", "bcd"]}'
              " for i in range(200)]",
    "blobs": "[r.randbytes(1024) for _ in range(100)]",
}

SCRIPT = """
import random, sys
from vantra_cbor import dumps
r = random.Random(1)
value = {payload}
for _ in range({calls}):
    dumps(value, {args})
"""


def instructions(payload, calls, args):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        code = SCRIPT.format(payload=PAYLOADS[payload], calls=calls, args=args)
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                        sys.executable, "-c", code], check=True, env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            return int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))


def main():
    names = sys.argv[1:] or list(PAYLOADS)
    calls = 20
    print("%-8s %16s %16s" % ("payload", "indefinite", "definite"))
    for name in names:
        base = instructions(name, 0, "")
        row = [(instructions(name, calls, args) - base) / calls for args in ("True", "False")]
        print("%-8s %16.0f %16.0f" % (name, *row))


if __name__ == "__main__":
    main()
