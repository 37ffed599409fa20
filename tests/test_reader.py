import ctypes as C
import math
import struct

import pytest

from codec import ALL_ONES, HANDLER, Reader, address, handler, jump_table, lib

INF, NAN = 0x7FF0000000000000, 0x7FF8000000000000


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def expected_handler(byte):
    major, ai = byte >> 5, byte & 0x1F
    family = ["uint", "negint", "byte_string", "text_string", "array", "map"]
    if major < 6:
        if ai < 24:
            return "cbor_parse_%s_small" % family[major]
        if ai < 28:
            width = 8 << (ai - 24)
            return ("cbor_parse_%s%d" if major < 2 else "cbor_parse_%s_uint%d") % (family[major], width)
        if ai == 31 and major >= 2:
            return "cbor_parse_%s_indefinite" % family[major]
        return "cbor_parse_reserved"
    if major == 6:
        return "cbor_parse_semantic_tag" if ai < 28 else "cbor_parse_reserved"
    return {20: "cbor_parse_false", 21: "cbor_parse_true", 22: "cbor_parse_null",
            23: "cbor_parse_undefined", 25: "cbor_parse_float16", 26: "cbor_parse_float32",
            27: "cbor_parse_float64", 31: "cbor_parse_break"}.get(
        ai, "cbor_parse_reserved" if ai > 27 else "cbor_parse_unimplemented")


def test_jump_table():
    for byte in range(256):
        assert C.cast(jump_table[byte], C.c_void_p).value == handler(expected_handler(byte)), hex(byte)


# input hex, fields expected of the first item (uint is value's integer view), bytes consumed
ITEMS = [
    ("00", dict(uint=0), 1), ("17", dict(uint=23), 1), ("1818", dict(uint=24), 2),
    ("18ff", dict(uint=255), 2), ("190100", dict(uint=256), 3),
    ("1a00010000", dict(uint=65536), 5), ("1b0000000100000000", dict(uint=2**32), 9),
    ("1bffffffffffffffff", dict(uint=2**64 - 1), 9),
    ("20", dict(uint=ALL_ONES), 1), ("37", dict(uint=2**64 - 24), 1),
    ("3863", dict(uint=2**64 - 100), 2), ("39ffff", dict(uint=2**64 - 65536), 3),
    ("3a00010000", dict(uint=2**64 - 65537), 5), ("3b7fffffffffffffff", dict(uint=2**63), 9),
    ("40", dict(length=0, data=b""), 1), ("43616263", dict(length=3, data=b"abc"), 4),
    ("5803616263", dict(length=3, data=b"abc"), 5), ("590001ff", dict(length=1, data=b"\xff"), 4),
    ("5a0000000100", dict(length=1, data=b"\x00"), 6),
    ("5b000000000000000161", dict(length=1, data=b"a"), 10),
    ("60", dict(length=0, data=b"\0"), 1), ("63616263", dict(length=3, data=b"abc\0"), 4),
    ("7801ff", dict(length=1, data=b"\xff\0"), 3), ("79000162", dict(length=1, data=b"b\0"), 4),
    ("7a0000000163", dict(length=1, data=b"c\0"), 6),
    ("7b000000000000000164", dict(length=1, data=b"d\0"), 10),
    ("5f", dict(length=ALL_ONES, uint=0), 1), ("7f", dict(length=ALL_ONES, uint=0), 1),
    ("9f", dict(length=ALL_ONES), 1), ("bf", dict(length=ALL_ONES), 1),
    ("80", dict(length=0, uint=0), 1), ("97", dict(length=23), 1), ("9818", dict(length=24), 2),
    ("99ffff", dict(length=65535), 3), ("9a00010000", dict(length=65536), 5),
    ("9bffffffffffffffff", dict(length=ALL_ONES), 9),
    ("a1", dict(length=1, uint=0), 1), ("b818", dict(length=24), 2), ("b90100", dict(length=256), 3),
    ("ba00010000", dict(length=65536), 5), ("bb0000000100000000", dict(length=2**32), 9),
    ("c0", dict(uint=0), 1), ("d7", dict(uint=0), 1), ("d820", dict(uint=32), 2),
    ("d90100", dict(uint=256), 3), ("da00010000", dict(uint=65536), 5),
    ("db0000000100000000", dict(uint=2**32), 9),
    ("f4", dict(uint=0), 1), ("f5", dict(uint=0), 1), ("f6", dict(uint=0), 1), ("f7", dict(uint=0), 1),
    ("f93c00", dict(real=1.0), 3), ("f90001", dict(real=2.0**-24), 3), ("f903ff", dict(real=1023 * 2.0**-24), 3),
    ("f90400", dict(real=2.0**-14), 3), ("f97bff", dict(real=65504.0), 3), ("f9c000", dict(real=-2.0), 3),
    ("f97c00", dict(uint=INF), 3), ("f9fc00", dict(uint=INF | 1 << 63), 3),
    ("f97e00", dict(uint=NAN), 3), ("f97c01", dict(uint=NAN), 3), ("f9fe00", dict(uint=NAN | 1 << 63), 3),
    ("f98000", dict(uint=1 << 63), 3),
    ("fa7f800000", dict(uint=INF), 5), ("faff800000", dict(uint=INF | 1 << 63), 5),
    ("fa7ffc0000", dict(uint=NAN), 5), ("fa3fc00000", dict(real=1.5), 5),
    ("fa00000001", dict(real=2.0**-149), 5), ("fa7f7fffff", dict(real=struct.unpack(">f", bytes.fromhex("7f7fffff"))[0]), 5),
    ("fb3ff0000000000000", dict(real=1.0), 9), ("fb7ff8000000000123", dict(uint=0x7FF8000000000123), 9),
    ("fbfff0000000000000", dict(uint=INF | 1 << 63), 9),
    ("ff", dict(uint=0), 1),
    ("1c", dict(uint=0, length=0), 1), ("3f", dict(uint=0), 1), ("5c", dict(uint=0), 1),
    ("7e", dict(uint=0), 1), ("9c", dict(length=0), 1), ("be", dict(length=0), 1),
    ("dc", dict(uint=0), 1), ("fc", dict(uint=0), 1), ("fe", dict(uint=0), 1),
]


@pytest.mark.parametrize("hexdata, fields, consumed", ITEMS, ids=[i[0] for i in ITEMS])
def test_items(hexdata, fields, consumed):
    data = bytes.fromhex(hexdata) + b"\x00"  # a following item must stay unread
    with Reader(data) as r:
        got = r.next()
        assert got["initial_byte"] == data[0] and got["major_type"] == data[0] >> 5
        for key, want in fields.items():
            assert got[key] == want, key
        assert r.offset == consumed
        assert r.next()["uint"] == 0 and r.next() is None


@pytest.mark.parametrize("hexdata, lines, consumed", [
    ("e0", ["e0"], 1), ("f3", ["f3"], 1),
    ("f820", ["f8"], 2),  # the simple value's byte belongs to the item
    ("f8", ["f8"], None),  # ...and its absence is a truncated item
])
def test_unimplemented_simple_values(capfd, hexdata, lines, consumed):
    with Reader(bytes.fromhex(hexdata)) as r:
        item = r.next()
        assert (item is not None) == (consumed is not None)
        if consumed:
            assert item["uint"] == 0 and r.offset == consumed and r.next() is None
    assert capfd.readouterr().err == "".join("Unimplemented CBOR code: %s\n" % l for l in lines)


# Items whose head carries argument or float bytes after the initial byte.
TRUNCATED = ["1818", "19ffff", "1a00010000", "1bffffffffffffffff", "3863", "39ffff",
             "3a00010000", "3b7fffffffffffffff", "9818", "990100", "9a00010000",
             "9b0000000000000001", "b818", "bb0000000000000001", "d820", "d90100",
             "da00010000", "db0000000100000000", "f93c00", "fa3fc00000", "fb3ff0000000000000"]


@pytest.mark.parametrize("hexdata", TRUNCATED)
def test_truncated_heads(hexdata):
    data = bytes.fromhex(hexdata)
    for cut in range(1, len(data)):
        with Reader(data[:cut]) as r:
            assert r.next() is None
            assert r.offset == 1  # just past the initial byte


@pytest.mark.parametrize("hexdata, head", [
    ("43616263", 1), ("5803616263", 2), ("5b0000000000000003616263", 9),
    ("63616263", 1), ("790003616263", 3), ("7a00000003616263", 5),
])
def test_truncated_strings(hexdata, head):
    data = bytes.fromhex(hexdata)
    for cut in range(1, len(data)):
        with Reader(data[:cut]) as r:
            assert r.next() is None
            # inside the head: just past the initial byte; inside the content: after the head
            assert r.offset == (1 if cut < head else head)


@pytest.mark.parametrize("hexdata", ["5b8000000000000000616263", "7bffffffffffffffff00",
                                     "5a7fffffff00", "7a80000000ff"])
def test_string_longer_than_input(hexdata):
    with Reader(bytes.fromhex(hexdata)) as r:
        assert r.next() is None


def test_empty_range():
    with Reader(b"") as r:
        assert r.next() is None and r.offset == 0


def test_indefinite_flag():
    with Reader(bytes.fromhex("9f5fff7f9fbfffff")) as r:
        flags = []
        while r.next() is not None:
            flags.append(r.parser.contents.indefinite)
        assert flags == [1, 1, 0, 1, 1, 1, 0, 0]  # one flag, not a nesting count


@pytest.mark.parametrize("size, available", [(0, 0), (5, 5), (2**31 - 1, 2**31 - 1),
                                             (2**31, 2**31 - 1), (2**32, 2**31 - 1),
                                             (2**32 + 1, 2**31 - 1), (2**63, 2**31 - 1)])
def test_available_bytes(size, available):
    buf = C.create_string_buffer(1)  # never read: only the count is asked for
    p = lib.cbor_parser_create(buf, size)
    assert lib.cbor_parser_available_bytes(p) == available
    lib.cbor_parser_free(p)


def test_parser_fields():
    buf = C.create_string_buffer(b"\x01\x02", 2)
    p = lib.cbor_parser_create(buf, 2)
    fields = p.contents
    assert address(fields.start) == address(fields.cursor) == C.addressof(buf)
    assert (fields.size, fields.indefinite) == (2, 0)
    lib.cbor_parser_free(p)


@pytest.mark.parametrize("byte", range(256))
def test_handlers_at_end_of_range(byte):
    # Called directly on an exhausted parser, no handler reads past the end.
    buf = C.create_string_buffer(bytes([byte]), 1)
    p = lib.cbor_parser_create(buf, 1)
    p.contents.cursor = C.cast(C.addressof(buf) + 1, type(p.contents.cursor))
    v = lib.cbor_val_create()
    assert jump_table[byte](p, v) == -1
    assert address(p.contents.cursor) == C.addressof(buf) + 1
    lib.cbor_val_free(v)
    lib.cbor_parser_free(p)


def test_handler_on_own_record():
    buf = C.create_string_buffer(bytes.fromhex("3863"), 2)
    p = lib.cbor_parser_create(buf, 2)
    v = lib.cbor_val_create()
    assert v.contents.initial_byte == 0 and v.contents.value.uint == 0
    assert HANDLER(handler("cbor_parse_negint8"))(p, v) == 0
    assert v.contents.value.uint == 2**64 - 100 and v.contents.initial_byte == 0
    lib.cbor_val_free(v)
    lib.cbor_val_free(None)
    lib.cbor_parser_free(p)


def test_float16_every_pattern():
    # Every half decodes to its exact binary16 value ("e" format), NaNs to the quiet NaN.
    for h in range(1 << 16):
        with Reader(b"\xf9" + h.to_bytes(2, "big")) as r:
            got = r.next()
        want = struct.unpack(">e", h.to_bytes(2, "big"))[0]
        if math.isnan(want):
            assert got["uint"] == NAN | (h & 0x8000) << 48
        else:
            assert got["uint"] == bits(want), hex(h)
