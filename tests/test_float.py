import math
import random
import struct

import pytest

from codec import contents, lib, write
from vantra_cbor import Encoder, dumps
from reference import float_bytes as reference

FLT_MAX = struct.unpack(">f", bytes.fromhex("7f7fffff"))[0]

TABLE = [
    (0.0, "f90000", 1), (-0.0, "f98000", 1), (1.0, "f93c00", 1), (1.5, "f93e00", 1),
    (-2.0, "f9c000", 1), (5.5, "f94580", 1), (65504.0, "f97bff", 1),
    (65536.0, "fa47800000", 1), (100000.0, "fa47c35000", 1), (2.0**-14, "f90400", 1),
    (2.0**-15, "fa38000000", 1), (2.0**-24, "fa33800000", 1), (2.0**-149, "fa00000001", 1),
    (FLT_MAX, "fa7f7fffff", 1), (0.1, "fb3fb999999999999a", 1), (1e300, "fb7e37e43c8800759c", 1),
    (float("nan"), "f97e00", 0), (-float("nan"), "f97e00", 0),
    (struct.unpack(">d", bytes.fromhex("7ff0000000000001"))[0], "f97e00", 0),  # signalling payload
    (struct.unpack(">d", bytes.fromhex("fff8dead00000000"))[0], "f97e00", 0),
    (float("inf"), "f97c00", 0), (float("-inf"), "f9fc00", 0),
    # rounds to infinity as a single: a double
    (float.fromhex("0x1.ffffffp+127"), "fb47effffff0000000", 1),
    (-(2.0**-149), "fa80000001", 1), (2.0**-126, "fa00800000", 1),
    (65520.0, "fa477ff000", 1),  # a half would need rounding
    (1.0 + 2.0**-10, "f93c01", 1), (1.0 + 2.0**-11, "fa3f801000", 1),
    (5e-324, "fb0000000000000001", 1), (2.0**127, "fa7f000000", 1), (2.0**128, "fb47f0000000000000", 1),
]


@pytest.mark.parametrize("value, expected, result", TABLE)
def test_table(value, expected, result):
    assert write("cbor_write_float", value) == (result, bytes.fromhex(expected))


def encode_all(values):
    gen = lib.cbor_generator_create()
    for x in values:
        assert lib.cbor_write_float(gen, x) == (0 if math.isnan(x) or math.isinf(x) else 1)
    out = contents(gen)
    lib.cbor_generator_free(gen)
    return out


def check(values):
    got, want = encode_all(values), b"".join(reference(x) for x in values)
    if got != want:  # name the first value that differs
        for x in values:
            assert encode_all([x]) == reference(x), repr(x)


def test_every_half():
    check([struct.unpack(">e", h.to_bytes(2, "big"))[0] for h in range(1 << 16)])


def test_random_singles():
    rng = random.Random(1)
    check([struct.unpack(">f", struct.pack(">I", rng.getrandbits(32)))[0] for _ in range(200000)])


def test_random_doubles():
    rng = random.Random(2)
    values = [struct.unpack(">d", struct.pack(">Q", rng.getrandbits(64)))[0] for _ in range(100000)]
    # Doubles one step away from a single, and doubles in the half range.
    for _ in range(100000):
        s = struct.unpack(">f", struct.pack(">I", rng.getrandbits(32)))[0]
        values.append(math.nextafter(s, rng.choice([-math.inf, math.inf])) if hasattr(math, "nextafter")
                      else s * (1 + 2.0**-40))
        values.append(rng.uniform(-70000, 70000))
    check(values)


def test_null_generator():
    for x in (1.5, 0.1, float("nan"), float("inf")):
        assert lib.cbor_write_float(None, x) == -1


ALLOC_CASES = """
from codec import lib, contents

def full_generator():
    gen = lib.cbor_generator_create()
    lib.cbor_write_uint(gen, 1000)
    spare = gen.contents.capacity - gen.contents.length
    lib._cbor_generator_write_bytes(gen, b"-" * spare, spare)
    return gen

# Warm up: the first calls and the first stores of each name allocate.
lib.cbor_generator_free(full_generator())
arm(0); ok = rc = lib.cbor_write_float(None, 1.5); made = disarm()
for value in [1.5, 0.1, 1e300, 2.0**-24, float("nan"), float("-inf")]:
    gen = full_generator()
    before = contents(gen).hex()
    arm(0); ok = lib.cbor_write_float(gen, value); made = disarm()
    lib.cbor_generator_free(gen)
    failed = []
    for nth in range(1, made + 1):
        gen = full_generator()
        arm_from(nth); rc = lib.cbor_write_float(gen, value); disarm()
        failed.append([rc, contents(gen).hex() == before, gen.contents.length == len(before) // 2])
        lib.cbor_generator_free(gen)
    emit([value, ok, made, failed])
"""


def test_allocation_failure(failalloc):
    rows = failalloc(ALLOC_CASES)
    assert [(v, ok) for v, ok, _, _ in rows[:4]] == [(1.5, 1), (0.1, 1), (1e300, 1), (2.0**-24, 1)]
    for value, ok, made, failed in rows:
        assert made == 1, value  # growing the output: the width is decided without the heap
        assert failed == [[-1, True, True]] * made, value


# Runs of floats in lists and tuples are written apart from other items: the
# same bytes as item by item, wherever a run starts or stops.
@pytest.mark.parametrize("encode", [dumps, lambda v: dumps(v, False), Encoder().encode, Encoder(deterministic=True).encode,
                                    Encoder(max_depth=2).encode], ids=["dumps", "definite", "Encoder", "deterministic", "depth"])
def test_float_runs(encode):
    def framed(n, inner):  # the array head (and break) of n items around inner
        frame = encode([None] * n)
        indefinite = frame[0] == 0x9f
        return frame[:len(frame) - n - indefinite] + inner + frame[len(frame) - indefinite:]

    rng = random.Random(3)
    floats = [v for v, *_ in TABLE] + [2.0**-24, 1023 * 2.0**-24]
    others = [1, "x", None, [0.5]]
    for size in (1, 2, 3, 255, 256, 257, 600):
        items = [rng.choice(others) if rng.random() < 0.3 else rng.choice(floats) for _ in range(size)]
        if size == 600:
            items[10:580] = [rng.uniform(-1, 1) for _ in range(570)]
        parts = b"".join(encode(x) for x in items)
        for container in (items, tuple(items)):
            assert encode(container) == framed(size, parts)
