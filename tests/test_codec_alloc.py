"""The codec under allocation failure, each allocation of a call failed in turn."""
from codec import write


def write_item(fn):
    """The bytes the case's item writes on its own."""
    return write(fn, *dict(CASES)[fn])[1]


CASES = [("cbor_write_uint", (2**40,)), ("cbor_write_negint", (-300,)),
         ("cbor_write_text_string", (b"hello", 5)), ("cbor_write_byte_string", (b"ab", 2)),
         ("cbor_write_float32", (1.5,)), ("cbor_write_float64", (0.1,)),
         ("_cbor_write_uint_sized", (0x1a, 5)), ("cbor_write_true", ())]

WRITER_CASES = """
from codec import lib, contents

def attempt(fn, args, nth):
    # A generator with no room left, so that the item must grow it.
    gen = lib.cbor_generator_create()
    lib.cbor_write_uint(gen, 7)
    spare = gen.contents.capacity - gen.contents.length
    lib._cbor_generator_write_bytes(gen, b"-" * spare, spare)
    arm_from(nth)
    rc = getattr(lib, fn)(gen, *args)
    made = disarm()
    out = (rc, contents(gen).hex(), gen.contents.length, made)
    lib.cbor_generator_free(gen)
    return out

from test_codec_alloc import CASES
for fn, args in CASES:
    ok = attempt(fn, args, 0)
    emit([fn, ok, [attempt(fn, args, n) for n in range(1, ok[3] + 1)]])

arm(1); gen = lib.cbor_generator_create(); disarm()
emit(["create", bool(gen)])
"""


def test_writers_keep_bytes_and_length(failalloc):
    *rows, create = failalloc(WRITER_CASES)
    assert create == ["create", False]
    for fn, (rc, full, length, made), failed in rows:
        assert rc >= 0 and made >= 1 and length == len(full) // 2
        before = full[:2 * (length - len(write_item(fn)))]
        for nth, (frc, fhex, flength, _) in enumerate(failed, 1):
            # The failed item leaves nothing behind; what was there stays.
            assert (frc, fhex, flength) == (-1, before, len(before) // 2), (fn, nth)


READER_CASES = """
from codec import lib, Reader

arm(1); p = lib.cbor_parser_create(b"\\x01", 1); disarm()
emit(["parser", bool(p)])
arm(1); v = lib.cbor_val_create(); disarm()
emit(["val", bool(v)])

for data in [b"\\x63abc", b"\\x42ab", b"\\x01", b"\\x9f"]:
    with Reader(data) as r:
        arm(0); r.next(); made = disarm()
    for nth in range(1, made + 1):
        with Reader(data) as r:
            arm(nth)
            item = r.next()
            disarm()
            emit(["next", data.hex(), nth, item is None, r.offset])
"""


def test_reader_returns_null(failalloc):
    rows = failalloc(READER_CASES)
    assert rows[:2] == [["parser", False], ["val", False]]
    nexts = {(r[1], r[2]): (r[3], r[4]) for r in rows[2:]}
    # The item record fails first (cursor unmoved), then a string's copy (cursor after the head).
    assert nexts == {("63616263", 1): (True, 0), ("63616263", 2): (True, 1),
                     ("426162", 1): (True, 0), ("426162", 2): (True, 1),
                     ("01", 1): (True, 0), ("9f", 1): (True, 0)}
