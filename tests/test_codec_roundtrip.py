"""Random items written by the writers and read back by the reader."""
import random
import struct

import pytest

from codec import ALL_ONES, Reader, contents, lib


def random_uint(rng):
    return rng.getrandbits(rng.choice([3, 5, 8, 9, 16, 17, 32, 33, 63, 64]))


def random_item(rng):
    kind = rng.randrange(8)
    if kind == 0:
        v = random_uint(rng)
        return "cbor_write_uint", (v,), dict(major_type=0, uint=v)
    if kind == 1:
        n = -1 - (random_uint(rng) >> 1)
        return "cbor_write_negint", (n,), dict(major_type=1, uint=n & ALL_ONES)
    if kind in (2, 3):
        payload = bytes(rng.getrandbits(8) for _ in range(rng.choice([0, 5, 23, 24, 300])))
        fn = "cbor_write_byte_string" if kind == 2 else "cbor_write_text_string"
        terminator = b"\0" if kind == 3 else b""
        return fn, (payload, len(payload)), dict(major_type=kind, length=len(payload),
                                                 data=payload + terminator)
    if kind in (4, 5):
        n = rng.choice([random_uint(rng), ALL_ONES])
        fn = "cbor_write_array" if kind == 4 else "cbor_write_map"
        return fn, (n,), dict(major_type=kind, length=n)
    if kind == 6:
        x = struct.unpack(">f", struct.pack(">I", rng.getrandbits(32)))[0]
        if x != x:
            x = 1.5
        return "cbor_write_float32", (x,), dict(major_type=7, real=x)
    x = struct.unpack(">d", struct.pack(">Q", rng.getrandbits(64)))[0]
    if x != x:
        x = -2.5
    return "cbor_write_float64", (x,), dict(major_type=7, real=x)


@pytest.mark.parametrize("seed", range(5))
def test_random_items_read_back(seed):
    rng = random.Random(seed)
    items = [random_item(rng) for _ in range(2000)]
    gen = lib.cbor_generator_create()
    for fn, args, _ in items:
        assert getattr(lib, fn)(gen, *args) >= 0
    data = contents(gen)
    lib.cbor_generator_free(gen)
    with Reader(data) as r:
        for fn, args, want in items:
            got = r.next()
            assert got is not None, fn
            assert {k: got[k] for k in want} == want, (fn, args)
        assert r.next() is None and r.offset == len(data)
