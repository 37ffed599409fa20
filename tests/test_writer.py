import ctypes as C
import mmap
import sys

import pytest

from codec import ALL_ONES, contents, lib, write

UINT = [
    (0, "00"), (1, "01"), (23, "17"), (24, "1818"), (255, "18ff"), (256, "190100"),
    (65535, "19ffff"), (65536, "1a00010000"), (2**32 - 1, "1affffffff"),
    (2**32, "1b0000000100000000"), (2**64 - 1, "1bffffffffffffffff"),
]

NEGINT = [
    (-1, "20"), (-24, "37"), (-25, "3818"), (-256, "38ff"), (-257, "390100"),
    (-65536, "39ffff"), (-65537, "3a00010000"), (-2**32, "3affffffff"),
    (-2**32 - 1, "3b0000000100000000"), (-2**63, "3b7fffffffffffffff"),
]


@pytest.mark.parametrize("value, expected", UINT)
def test_uint(value, expected):
    assert write("cbor_write_uint", value) == (0, bytes.fromhex(expected))


@pytest.mark.parametrize("value, expected", NEGINT)
def test_negint(value, expected):
    assert write("cbor_write_negint", value) == (0, bytes.fromhex(expected))


@pytest.mark.parametrize("major, argument, expected", [
    (0, 10, "0a"), (2, 24, "5818"), (4, 0x10000, "9a00010000"), (7, 25, "f819"),
    (6, 2**32, "db0000000100000000"),
    (9, 1, "21"),  # only the low three bits name the major type
    (-1, 0, "e0"),
])
def test_uint_helper(major, argument, expected):
    assert write("_cbor_write_uint_helper", major, argument) == (0, bytes.fromhex(expected))


@pytest.mark.parametrize("initial, value, expected", [
    (0x18, 0x1234, "1834"),  # the width comes from the initial byte, not the value
    (0x19, 0x1234, "191234"),
    (0x3a, 1, "3a00000001"),
    (0xfb, 0x0102030405060708, "fb0102030405060708"),
    (0x05, 0, "05"),
    (0x40, 3, "43"),  # otherwise one byte: initial | value
    (0x41, 0x102, "43"),
    (0xfc, 0, "fc"), (0x1f, 0, "1f"),
])
def test_uint_sized(initial, value, expected):
    assert write("_cbor_write_uint_sized", initial, value) == (0, bytes.fromhex(expected))


# Byte-string heads; text strings and arrays/maps differ in the major type only.
HEADS = [(0, "40"), (1, "41"), (23, "57"), (24, "5818"), (255, "58ff"), (256, "590100"),
         (65535, "59ffff"), (65536, "5a00010000")]


def with_major(head_hex, major):
    head = bytearray.fromhex(head_hex)
    head[0] = (head[0] & 0x1f) | (major << 5)
    return bytes(head)


@pytest.mark.parametrize("size, head", HEADS)
@pytest.mark.parametrize("fn, major", [("cbor_write_byte_string", 2), ("cbor_write_text_string", 3)])
def test_strings(fn, major, size, head):
    payload = bytes(i % 251 for i in range(size))
    assert write(fn, payload, size) == (0, with_major(head, major) + payload)


@pytest.mark.skipif(not hasattr(mmap, "PROT_READ") or sys.platform == "win32", reason="needs mprotect")
def test_strings_end_at_a_page_end():
    # Short strings are moved in fixed sizes that may read past their end
    # within a page, never into the next one: here it is unmapped.
    page = mmap.PAGESIZE
    block = mmap.mmap(-1, 2 * page)
    base = C.addressof(C.c_char.from_buffer(block))
    libc = C.CDLL(None, use_errno=True)
    libc.mprotect.argtypes = [C.c_void_p, C.c_size_t, C.c_int]
    assert libc.mprotect(base + page, page, 0) == 0  # no access
    try:
        for size in (1, 23, 24, 31, 32, 33, 63, 64, 65, 200, 255, 256, 257):
            payload = bytes((i * 7 + size) % 256 for i in range(size))
            block[page - size:page] = payload
            for offset in (0, 1, 17):  # also sources starting before the page's last 32, 64 or 256 bytes
                start = page - size - offset
                block[start:start + size] = payload
                head = bytes([0x40 + size]) if size < 24 else b"\x58" + bytes([size]) if size < 256 else b"\x59" + size.to_bytes(2, "big")
                assert write("cbor_write_byte_string", C.cast(base + start, C.c_char_p), size) == (0, head + payload)
    finally:
        libc.mprotect(base + page, page, mmap.PROT_READ | mmap.PROT_WRITE)
        del base
        block.close()


@pytest.mark.parametrize("fn, expected", [
    ("cbor_write_byte_string", "5f"), ("cbor_write_text_string", "7f"),
    ("cbor_write_array", "9f"), ("cbor_write_map", "bf"),
])
def test_indefinite_heads(fn, expected):
    # The string writers never read their source for an indefinite head.
    args = (None, ALL_ONES) if "string" in fn else (ALL_ONES,)
    assert write(fn, *args) == (0, bytes.fromhex(expected))


@pytest.mark.parametrize("count, head", HEADS + [(2**32, "5b0000000100000000")])
@pytest.mark.parametrize("fn, major", [("cbor_write_array", 4), ("cbor_write_map", 5)])
def test_container_heads(fn, major, count, head):
    assert write(fn, count) == (0, with_major(head, major))


@pytest.mark.parametrize("fn, expected", [
    ("cbor_write_false", "f4"), ("cbor_write_true", "f5"), ("cbor_write_null", "f6"),
    ("cbor_write_undefined", "f7"), ("cbor_write_break", "ff"),
])
def test_simple(fn, expected):
    assert write(fn) == (0, bytes.fromhex(expected))


@pytest.mark.parametrize("fn, value, expected", [
    ("cbor_write_float32", 1.0, "fa3f800000"),
    ("cbor_write_float32", 0.1, "fa3dcccccd"),  # rounded to the nearest single
    ("cbor_write_float32", -0.0, "fa80000000"),
    ("cbor_write_float32", 1e300, "fa7f800000"),
    ("cbor_write_float64", 1.0, "fb3ff0000000000000"),
    ("cbor_write_float64", 0.1, "fb3fb999999999999a"),
    ("cbor_write_float64", float("-inf"), "fbfff0000000000000"),
])
def test_fixed_width_floats(fn, value, expected):
    assert write(fn, value) == (1, bytes.fromhex(expected))


NULL_CALLS = [
    ("_cbor_generator_write_byte", 1), ("_cbor_generator_write_bytes", b"a", 1),
    ("_cbor_generator_write_bytes", b"", 0), ("_cbor_write_uint_helper", 0, 1),
    ("_cbor_write_uint_sized", 0x18, 1), ("_cbor_write_uint_sized", 1, 1),
    ("cbor_write_uint", 1000), ("cbor_write_negint", -1000),
    ("cbor_write_byte_string", b"ab", 2), ("cbor_write_text_string", b"ab", 2),
    ("cbor_write_byte_string", None, ALL_ONES), ("cbor_write_array", 1),
    ("cbor_write_map", ALL_ONES), ("cbor_write_false",), ("cbor_write_true",),
    ("cbor_write_null",), ("cbor_write_undefined",), ("cbor_write_break",),
    ("cbor_write_float32", 1.0), ("cbor_write_float64", 1.0),
]


@pytest.mark.parametrize("call", NULL_CALLS, ids=lambda c: c[0])
def test_null_generator(call):
    assert getattr(lib, call[0])(None, *call[1:]) == -1


def test_free_accepts_null():
    lib.cbor_generator_free(None)


def test_appends_accumulate():
    gen = lib.cbor_generator_create()
    expected = b""
    for fn, args in [("cbor_write_uint", (70000,)), ("cbor_write_text_string", (b"hey", 3)),
                     ("cbor_write_array", (ALL_ONES,)), ("cbor_write_negint", (-300,)),
                     ("cbor_write_break", ()), ("_cbor_generator_write_bytes", (b"", 0))]:
        expected += write(fn, *args)[1]
        getattr(lib, fn)(gen, *args)
        assert gen.contents.length == len(expected)
        assert contents(gen) == expected
    lib.cbor_generator_free(gen)


def test_new_generator_is_empty():
    gen = lib.cbor_generator_create()
    assert not gen.contents.data and gen.contents.length == 0
    lib.cbor_generator_free(gen)


@pytest.mark.parametrize("count", [ALL_ONES - 1, ALL_ONES - 2, 2**63])
def test_size_arithmetic_never_wraps(count):
    gen = lib.cbor_generator_create()
    lib.cbor_write_uint(gen, 500)
    assert lib._cbor_generator_write_bytes(gen, b"x", count) == -1
    # An impossible string is refused whole: not even its head is written.
    assert lib.cbor_write_text_string(gen, b"x", count) == -1
    assert contents(gen) == bytes.fromhex("1901f4")
    lib.cbor_generator_free(gen)


def test_text_string_copies_bytes_unchecked():
    raw = b"\xff\x00\xfe"
    assert write("cbor_write_text_string", raw, 3) == (0, b"\x63" + raw)


def test_string_length_zero_reads_nothing():
    bad = C.c_char_p(1)  # never dereferenced
    assert write("cbor_write_byte_string", bad, 0) == (0, b"\x40")
    assert write("cbor_write_text_string", bad, 0) == (0, b"\x60")
