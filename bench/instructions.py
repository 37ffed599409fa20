"""Instructions per call, counted by callgrind: repeatable where timings are not.

    python bench/instructions.py [--lib LIBRARY ...] [payload ...]
    python bench/instructions.py --decode [--lib LIBRARY ...] [payload ...]

Each library and payload is run twice under callgrind, once with the calls and
once without, so the difference is the calls alone (setup, interpreter start
and the one-time work of a first call cancel out). Peers that are not
installed are left out.
"""
import argparse
import importlib.util
import os
import re
import subprocess
import sys
import tempfile

PAYLOADS = {
    "tiny": '{"a": 1}',
    "int": "1",
    "list": "[1, 2, 3]",
    "ints": "[r.choice([r.randrange(24), r.randrange(2**16), r.randrange(2**32), -r.randrange(2**63),"
            " r.randrange(2**63)]) for _ in range(10000)]",
    "floats": "[[r.uniform(-180, 180), r.uniform(-90, 90)] for _ in range(2000)]",
    "tweets": '[{"id": i, "text": "h\\u00e9llo w\\u00f6rld \\u4f60\\u597d " * 3, "user": {"name": "n%d" % i,'
              ' "verified": bool(i % 2), "followers": i * 37, "bio": None}, "tags": ["a", "bcd"]}'
              " for i in range(200)]",
    "blobs": "[r.randbytes(1024) for _ in range(100)]",
    "halves": "[r.randrange(-2048, 2048) / 8 for _ in range(20000)]",
    "widths": "[r.choice([r.randrange(-2048, 2048) / 8, r.randrange(-2**20, 2**20) / 2**10, r.random()])"
              " for _ in range(20000)]",
    "strings": "['k%d' % r.randrange(10**r.randrange(1, 9)) for _ in range(10000)]",
    "ascii": "[''.join(chr(r.randrange(32, 127)) for _ in range(r.randrange(1, 41))) for _ in range(10000)]",
    "medium": "[''.join(chr(r.randrange(32, 127)) for _ in range(r.randrange(64, 201))) for _ in range(2000)]",
    "text": "[' '.join(r.choice(WORDS) for _ in range(r.randrange(1, 12))) for _ in range(2000)]",
}
# Words of every str width, for the mixed text payload.
WORDS = ("the a of and café naïve résumé Zürich São crème brûlée Ærø Kraków Ångström "
         "東京 日本語 北京 ラーメン 좋아요 서울 你好 世界 😀 🎉 🚀 👍🏽 🔥 ☕").split()

# column: (module, what is made once and bound to e, call with the value bound to x)
ENCODERS = {
    "vantra indef": ("vantra_cbor", "None", "vantra_cbor.dumps(x)"),
    "vantra def": ("vantra_cbor", "None", "vantra_cbor.dumps(x, False)"),
    "Encoder indef": ("vantra_cbor", "vantra_cbor.Encoder(indefinite=True)", "e.encode(x)"),
    "Encoder def": ("vantra_cbor", "vantra_cbor.Encoder()", "e.encode(x)"),
    "cbor2": ("cbor2", "None", "cbor2.dumps(x)"),
    "msgpack": ("msgpack", "None", "msgpack.packb(x)"),
    "ormsgpack": ("ormsgpack", "None", "ormsgpack.packb(x)"),
    "msgspec": ("msgspec", "msgspec.msgpack.Encoder()", "e.encode(x)"),
    "orjson": ("orjson", "None", "orjson.dumps(x)"),
}

# column: (module, what is made once and bound to e, call with the value's document bound to x,
# the document made from x)
DECODERS = {
    "vantra": ("vantra_cbor", "None", "vantra_cbor.loads(x)", "vantra_cbor.dumps(x, False)"),
    "cbor2": ("cbor2", "None", "cbor2.loads(x)", "cbor2.dumps(x)"),
    "msgpack": ("msgpack", "None", "msgpack.unpackb(x)", "msgpack.packb(x)"),
    "ormsgpack": ("ormsgpack", "None", "ormsgpack.unpackb(x)", "ormsgpack.packb(x)"),
    "msgspec": ("msgspec", "msgspec.msgpack.Decoder()", "e.decode(x)", "msgspec.msgpack.encode(x)"),
    "orjson": ("orjson", "None", "orjson.loads(x)", "orjson.dumps(x)"),
}

SCRIPT = """
import random, {module}
{extra}
r = random.Random(1)
WORDS = {words!r}
x = {payload}
x = {prepare}
e = {made}
def run(n, x=x, e=e):
    for _ in range(n):
        {call}
run(1)
run({calls})
"""


def instructions(payload, library, calls, decode):
    module, made, call, prepare = DECODERS[library] if decode else ENCODERS[library] + ("x",)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        code = SCRIPT.format(module=module, extra="import msgspec.msgpack" if module == "msgspec" else "",
                             words=WORDS, payload=PAYLOADS[payload], prepare=prepare, made=made, call=call, calls=calls)
        env = dict(os.environ, PYTHONHASHSEED="0")
        done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                               sys.executable, "-c", code], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if done.returncode:
            return None  # the library cannot encode (or decode) this payload
        with open(out) as f:
            return int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--decode", action="store_true", help="decoders instead of encoders")
    parser.add_argument("--lib", action="append", choices=list(ENCODERS) + list(DECODERS), help="only these libraries")
    parser.add_argument("payloads", nargs="*", choices=[[]] + list(PAYLOADS), metavar="payload")
    args = parser.parse_args()
    names = args.payloads or list(PAYLOADS)
    table = DECODERS if args.decode else ENCODERS
    libraries = [lib for lib, (module, *_) in table.items()
                 if (not args.lib or lib in args.lib) and importlib.util.find_spec(module)]
    print("instructions per call\n%-8s" % "payload" + "".join("%14s" % lib for lib in libraries))
    for name in names:
        calls = 200 if name in ("tiny", "int", "list") else 20
        row = [instructions(name, lib, calls, args.decode) for lib in libraries]
        row = ["%14.0f" % ((n - instructions(name, lib, 0, args.decode)) / calls) if n is not None else "%14s" % "-"
               for n, lib in zip(row, libraries)]
        print("%-8s" % name + "".join(row), flush=True)


if __name__ == "__main__":
    main()
