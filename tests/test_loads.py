"""loads: values of every major type and width, the RFC 8949 examples, and every kind of malformed input."""
import array
import datetime as dt
import decimal
import io
import math
import pickle
import struct
import tracemalloc
import uuid

import cbor2
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import vantra_cbor
from vantra_cbor import CBORDecodeEOF, CBORDecodeError, Simple, Tag, dump, dumps, load, loads, undefined

UTC = dt.timezone.utc

# RFC 8949 Appendix A, and the edges of every head width.
VALUES = [
    ("00", 0), ("01", 1), ("0a", 10), ("17", 23), ("1818", 24), ("1819", 25), ("1864", 100),
    ("18ff", 255), ("190100", 256), ("1903e8", 1000), ("19ffff", 65535), ("1a00010000", 65536),
    ("1a000f4240", 1000000), ("1affffffff", 2**32 - 1), ("1b0000000100000000", 2**32),
    ("1b000000e8d4a51000", 1000000000000), ("1b7fffffffffffffff", 2**63 - 1),
    ("1bffffffffffffffff", 18446744073709551615),
    ("c249010000000000000000", 18446744073709551616), ("c240", 0), ("c34100", -1),
    ("3bffffffffffffffff", -18446744073709551616), ("3b7fffffffffffffff", -2**63),
    ("c349010000000000000000", -18446744073709551617),
    ("20", -1), ("29", -10), ("37", -24), ("3818", -25), ("3863", -100), ("3903e7", -1000),
    ("3a7fffffff", -2**31),
    ("f90000", 0.0), ("f98000", -0.0), ("f93c00", 1.0), ("fb3ff199999999999a", 1.1), ("f93e00", 1.5),
    ("f97bff", 65504.0), ("fa47c35000", 100000.0), ("fa7f7fffff", 3.4028234663852886e+38),
    ("fb7e37e43c8800759c", 1.0e+300), ("f90001", 5.960464477539063e-8), ("f90400", 0.00006103515625),
    ("f9c400", -4.0), ("fbc010666666666666", -4.1), ("f97c00", math.inf), ("fa7f800000", math.inf),
    ("fb7ff0000000000000", math.inf), ("f9fc00", -math.inf), ("faff800000", -math.inf),
    ("fbfff0000000000000", -math.inf), ("fa00000001", 2.0**-149),
    ("f4", False), ("f5", True), ("f6", None), ("f7", undefined), ("f0", Simple(16)), ("e0", Simple(0)),
    ("f3", Simple(19)), ("f820", Simple(32)), ("f8ff", Simple(255)),
    ("c074323031332d30332d32315432303a30343a30305a", dt.datetime(2013, 3, 21, 20, 4, tzinfo=UTC)),
    ("c11a514b67b0", dt.datetime(2013, 3, 21, 20, 4, tzinfo=UTC)),
    ("c1fb41d452d9ec200000", dt.datetime(2013, 3, 21, 20, 4, 0, 500000, tzinfo=UTC)),
    ("d74401020304", Tag(23, b"\x01\x02\x03\x04")), ("d818456449455446", Tag(24, b"dIETF")),
    ("d82076687474703a2f2f7777772e6578616d706c652e636f6d", Tag(32, "http://www.example.com")),
    ("40", b""), ("4401020304", b"\x01\x02\x03\x04"), ("60", ""), ("6161", "a"), ("6449455446", "IETF"),
    ("62225c", "\"\\"), ("62c3bc", "\u00fc"), ("63e6b0b4", "\u6c34"), ("64f0908591", "\U00010151"),
    ("80", []), ("83010203", [1, 2, 3]), ("8301820203820405", [1, [2, 3], [4, 5]]),
    ("98190102030405060708090a0b0c0d0e0f101112131415161718181819", list(range(1, 26))),
    ("a0", {}), ("a201020304", {1: 2, 3: 4}), ("a26161016162820203", {"a": 1, "b": [2, 3]}),
    ("826161a161626163", ["a", {"b": "c"}]),
    ("a56161614161626142616361436164614461656145", {"a": "A", "b": "B", "c": "C", "d": "D", "e": "E"}),
    ("5f42010243030405ff", b"\x01\x02\x03\x04\x05"), ("7f657374726561646d696e67ff", "streaming"),
    ("5fff", b""), ("7fff", ""), ("9fff", []),
    ("9f018202039f0405ffff", [1, [2, 3], [4, 5]]), ("9f01820203820405ff", [1, [2, 3], [4, 5]]),
    ("83018202039f0405ff", [1, [2, 3], [4, 5]]), ("83019f0203ff820405", [1, [2, 3], [4, 5]]),
    ("9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff", list(range(1, 26))),
    ("bf61610161629f0203ffff", {"a": 1, "b": [2, 3]}), ("826161bf61626163ff", ["a", {"b": "c"}]),
    ("bf6346756ef563416d7421ff", {"Fun": True, "Amt": -2}),
    # arrays as keys become tuples, all the way down; a later duplicate key wins
    ("a1820102f5", {(1, 2): True}), ("a1820182020303", {(1, (2, 3)): 3}), ("a19f01ff02", {(1,): 2}),
    ("a2616101616102", {"a": 2}), ("a1d9d9f78101f6", {(1,): None}),
    ("d9d9f7a1616101", {"a": 1}),
]


@pytest.mark.parametrize("hex_in, expected", VALUES)
def test_values(hex_in, expected):
    got = loads(bytes.fromhex(hex_in))
    assert type(got) is type(expected)
    if isinstance(expected, float):
        assert struct.pack(">d", got) == struct.pack(">d", expected)
    else:
        assert got == expected
    if isinstance(expected, dt.datetime):
        assert got.utcoffset() == expected.utcoffset()


@pytest.mark.parametrize("hex_in", ["f97e00", "f97c01", "fa7fc00000", "fb7ff8000000000001", "f9fe00"])
def test_nan(hex_in):
    assert math.isnan(loads(bytes.fromhex(hex_in)))


@pytest.mark.parametrize("text, expected", [
    ("2013-03-21T20:04:00Z", dt.datetime(2013, 3, 21, 20, 4, tzinfo=UTC)),
    ("2013-03-21t20:04:00.5z", dt.datetime(2013, 3, 21, 20, 4, 0, 500000, tzinfo=UTC)),
    ("1985-04-12T23:20:50.123456789+01:30",
     dt.datetime(1985, 4, 12, 23, 20, 50, 123456, tzinfo=dt.timezone(dt.timedelta(hours=1, minutes=30)))),
    ("1990-12-31T15:59:59-08:00", dt.datetime(1990, 12, 31, 15, 59, 59, tzinfo=dt.timezone(dt.timedelta(hours=-8)))),
])
def test_rfc3339_texts(text, expected):
    got = loads(b"\xc0" + dumps(text))
    assert got == expected and got.utcoffset() == expected.utcoffset()


# (input, what the message says, the byte offset it names)
MALFORMED = [
    ("", "empty input", 0),
    ("18", "input ends inside the head", 0), ("19ff", "input ends inside the head", 0),
    ("1bffffffffffffff", "input ends inside the head", 0), ("3a000000", "input ends inside the head", 0),
    ("f9", "input ends inside a float", 0), ("fa000000", "input ends inside a float", 0),
    ("fb00000000000000", "input ends inside a float", 0), ("f8", "input ends inside the head", 0),
    ("d8", "input ends inside the head", 0), ("c0", "input ends where an item was expected", 1),
    ("4201", "byte string of 2 bytes cannot fit in the bytes left (1)", 0),
    ("7a00010000", "text string of 65536 bytes cannot fit in the bytes left (0)", 0),
    ("5b8000000000000000010203", "byte string of 9223372036854775808 bytes", 0),
    ("9bffffffffffffffff00", "array of 18446744073709551615 items cannot fit in the bytes left (1)", 0),
    ("a2010203", "map of 2 pairs cannot fit in the bytes left (3)", 0),
    ("830102", "array of 3 items cannot fit in the bytes left (2)", 0), ("8118", "input ends inside the head", 1),
    ("9f01", "input ends where an item was expected", 2),
    ("bf0102", "input ends where an item was expected", 3), ("a20102", "map of 2 pairs cannot fit", 0),
    ("a3010203040506"[:-2], "map of 3 pairs cannot fit", 0), ("a201020318", "input ends inside the head", 4),
    ("5f4101", "input ends inside an indefinite-length byte string", 0),
    ("0000", "extra data after the CBOR item", 1), ("80ff", "extra data after the CBOR item", 1),
    ("1c", "reserved additional information 28", 0), ("3d", "reserved additional information 29", 0),
    ("5e", "reserved additional information 30", 0), ("fc", "reserved additional information 28", 0),
    ("dc00", "reserved additional information 28", 0), ("9c", "reserved additional information 28", 0),
    ("1f", "indefinite length is not allowed for an integer", 0), ("3f", "not allowed for an integer", 0), ("df00", "indefinite length is not allowed for a tag", 0),
    ("ff", "break outside an indefinite-length item", 0), ("8101ff", "extra data", 2),
    ("81ff", "break outside", 1), ("bf01ffff", "break outside", 2), ("a1ff01", "break outside", 1),
    ("5f01ff", "a chunk of an indefinite-length byte string must be a definite-length byte string", 1),
    ("5f6161ff", "must be a definite-length byte string", 1), ("7f4161ff", "must be a definite-length text string", 1),
    ("5f5fffff", "must be a definite-length byte string", 1), ("7f7fffff", "must be a definite-length text string", 1),
    ("f800", "simple value 0 written in two bytes", 0), ("f81f", "simple value 31 written in two bytes", 0),
    ("61ff", "invalid UTF-8 in text string", 0), ("62c328", "invalid UTF-8", 0), ("63eda080", "invalid UTF-8", 0),
    ("7f61c361a9ff", "invalid UTF-8", 1),  # a character split across chunks
    ("a1a000f6", "a map cannot be a map key", 1), ("a181a000f6", "a map cannot be a map key", 2),
    ("c001", "tag 0 content is not an RFC 3339 date/time text", 1),
    ("c06a323031332d30332d3231", "tag 0 content is not an RFC 3339", 1),
    ("c074323031332d31332d32315432303a30343a30305a", "tag 0 content", 1),
    ("c074323031332d30332d32315432303a30343a36305a", "tag 0 content", 1),
    ("c16161", "tag 1 content is not a number of seconds", 1), ("c1f5", "tag 1 content", 1),
    ("c1fb7ff8000000000000", "tag 1 content", 1), ("c11b7fffffffffffffff", "tag 1 content", 1),
    ("c26161", "tag 2 content is not a byte string", 1), ("c301", "tag 3 content is not a byte string", 1),
    # Short as well as malformed: the malformation, as the stream readers' scan words it.
    ("8301ff", "a break outside an indefinite-length item", 2), ("83ff", "a break outside", 1),
    ("a2ff", "a break outside", 1), ("831c", "reserved additional information (28-30)", 1),
    ("821c", "reserved additional information (28-30)", 1), ("9a0001000081811f", "an integer with an indefinite", 7),
    ("9a00010000815f01", "a chunk of an indefinite-length string", 7),
]


@pytest.mark.parametrize("hex_in, message, pos", MALFORMED)
def test_malformed(hex_in, message, pos):
    with pytest.raises(CBORDecodeError) as e:
        loads(bytes.fromhex(hex_in))
    assert message in str(e.value) and str(e.value).endswith(" at byte %d" % pos)
    assert e.value.pos == pos and isinstance(e.value, ValueError)
    # Input that stops inside an item is an EOF (more bytes may complete it); nothing else is.
    truncated = any(m in str(e.value) for m in ("input ends", "cannot fit in the bytes left", "empty input"))
    assert isinstance(e.value, CBORDecodeEOF) == truncated and isinstance(e.value, EOFError) == truncated


def test_bad_content_keeps_its_cause():
    with pytest.raises(CBORDecodeError) as e:
        loads(bytes.fromhex("62c328"))
    assert isinstance(e.value.__cause__, UnicodeDecodeError)


def test_max_depth_counts_as_dumps_counts():
    nested = [[1, 1.5, None], {"k": [2, -3, 2.5, "x", 100000]}]
    for depth in range(1, 5):
        try:
            dumps(nested, max_depth=depth)
            ok = True
        except RuntimeError:
            ok = False
        if ok:
            assert loads(dumps(nested), max_depth=depth) == nested
        else:
            with pytest.raises(CBORDecodeError, match="nesting deeper than max_depth=%d" % depth):
                loads(dumps(nested), max_depth=depth)
    assert loads(b"\x01", max_depth=1) == 1


@pytest.mark.parametrize("kwargs, error", [
    ({"max_depth": -1}, ValueError), ({"max_depth": 1.0}, TypeError), ({"max_depth": None}, TypeError),
    ({"tag_hook": 5}, TypeError), ({"hook": None}, TypeError),
])
def test_bad_options(kwargs, error):
    with pytest.raises(error):
        loads(b"\x01", **kwargs)


@pytest.mark.parametrize("data", [b"\x83\x01\x02\x03", bytearray(b"\x83\x01\x02\x03"),
                                  memoryview(b"\x00\x83\x01\x02\x03")[1:], array.array("B", b"\x83\x01\x02\x03"),
                                  np.frombuffer(b"\x83\x01\x02\x03", dtype=np.uint8)])
def test_buffers(data):
    assert loads(data) == [1, 2, 3] == loads(data=data)


@pytest.mark.parametrize("data, error", [("83010203", TypeError), (None, TypeError),
                                         (memoryview(b"\x83\x00\x01\x00\x02\x00\x03")[1::2], BufferError)])
def test_not_buffers(data, error):
    with pytest.raises(error):
        loads(data)


def test_tags_and_hooks():
    assert loads(bytes.fromhex("d86301")) == Tag(99, 1)
    seen = []
    assert loads(bytes.fromhex("82d86301c249010000000000000000"),
                 tag_hook=lambda tag, value: seen.append((tag, value)) or "hooked") == ["hooked", 2**64]
    assert seen == [(99, 1)]
    # In a key, a tag's array content is a tuple, so the hook's result can be hashed.
    assert loads(bytes.fromhex("a1d8638201020a"), tag_hook=lambda t, v: (t, v)) == {(99, (1, 2)): 10}
    with pytest.raises(CBORDecodeError, match="unhashable map key at byte 1"):
        loads(bytes.fromhex("a1d8630101"), tag_hook=lambda t, v: [v])
    with pytest.raises(ZeroDivisionError):
        loads(bytes.fromhex("d86301"), tag_hook=lambda t, v: 1 / 0)


def test_value_types():
    assert Tag(1, [2]) == Tag(1, [2]) and Tag(1, 2) != Tag(2, 2) and Tag(1, 2) != (1, 2)
    assert hash(Tag(5, "x")) == hash(Tag(tag=5, value="x")) and repr(Tag(5, "x")) == "Tag(5, 'x')"
    assert (Tag(5, "x").tag, Tag(5, "x").value) == (5, "x")
    assert repr(undefined) == "undefined" and not undefined and type(undefined)() is undefined
    assert Simple(16) == Simple(16) != Simple(17) and repr(Simple(255)) == "Simple(255)" and Simple(3).value == 3
    for value in (Tag(2**64 - 1, [1]), Simple(40), undefined):
        assert pickle.loads(pickle.dumps(value)) == value
    for bad in (-1, 2**64, "1"):
        with pytest.raises((ValueError, TypeError)):
            Tag(bad, 0)
    for bad in (20, 23, 24, 31, 256, -1):
        with pytest.raises(ValueError):
            Simple(bad)
    with pytest.raises(TypeError):
        hash(Tag(1, []))


def test_files():
    out = io.BytesIO()
    assert dump({"a": [1, 2.5]}, out, indefinite=False) is None
    assert out.getvalue() == dumps({"a": [1, 2.5]}, indefinite=False)
    assert load(io.BytesIO(out.getvalue())) == {"a": [1, 2.5]}
    assert load(fp=io.BytesIO(b"\xd8\x63\x01"), tag_hook=lambda t, v: v) == 1
    with pytest.raises(TypeError, match="binary mode"):
        load(io.StringIO("x"))
    with pytest.raises(TypeError):
        dump(object(), io.BytesIO())


def test_long_strings_copied_once():
    blob = bytes(range(256)) * (200000)
    data = bytearray(dumps([blob]))
    tracemalloc.start()
    try:
        value = loads(memoryview(data))
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert value == [blob] and peak < len(blob) * 1.05


utf8_like = st.lists(st.sampled_from([b"a", b"\x7f", b"\xc2\x80", b"\xdf\xbf", b"\xe0\xa0\x80", b"\xed\x9f\xbf",
                                        b"\xed\xa0\x80", b"\xef\xbf\xbf", b"\xf0\x90\x80\x80", b"\xf4\x8f\xbf\xbf",
                                        b"\xf4\x90\x80\x80", b"\xc0\x80", b"\xe0\x80\x80", b"\x80", b"\xff", b"\xc3",
                                        b"\xe6\xb0", b"\xf0\x9f\x98"]), max_size=40).map(b"".join)


@settings(max_examples=500, deadline=None)
@given(st.text() | st.binary() | utf8_like)
def test_text_decodes_as_python_does(raw):
    raw = raw.encode("utf-8", "surrogatepass") if isinstance(raw, str) else raw
    for data in (raw, raw * 40):  # short texts, and long ones read a word at a time
        try:
            expected = data.decode("utf-8")
        except UnicodeDecodeError:
            with pytest.raises(CBORDecodeError, match="invalid UTF-8"):
                loads(bytes([0x7b]) + len(data).to_bytes(8, "big") + data)
        else:
            assert loads(bytes([0x7b]) + len(data).to_bytes(8, "big") + data) == expected


@pytest.mark.parametrize("char", ["a", "\xe9", "\u65e5", "\U0001f600"])  # each width of str
@pytest.mark.parametrize("bad", [b"\x80", b"\xc1\xbf", b"\xe0\x9f\xbf", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
                                 b"\xe6\xb0", b"\xf8\x88\x80\x80\x80"])
def test_text_is_checked_from_end_to_end(char, bad):
    good = (char * 300).encode()
    middle = 150 * len(char.encode())
    assert loads(dumps(char * 300)) == char * 300
    for data in (bad + good, good[:middle] + bad + good[middle:], good + bad):
        with pytest.raises(CBORDecodeError, match="invalid UTF-8"):
            loads(b"\x79" + len(data).to_bytes(2, "big") + data)


scalars = (st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text() | st.binary()
           | st.datetimes(timezones=st.just(UTC)))
documents = st.recursive(scalars, lambda inner: st.lists(inner, max_size=5)
                         | st.dictionaries(st.text(max_size=8) | st.integers(), inner, max_size=5), max_leaves=30)


@settings(max_examples=300, deadline=None)
@given(documents, st.booleans(), st.booleans())
def test_agrees_with_cbor2(doc, canonical, timestamps):
    data = cbor2.dumps(doc, canonical=canonical, datetime_as_timestamp=timestamps, timezone=UTC)
    assert loads(data) == cbor2.loads(data)


def test_exported():
    for name in ("loads", "load", "dump", "CBORDecodeError", "Tag", "Simple", "undefined"):
        assert getattr(vantra_cbor, name).__doc__ or name == "undefined"


RICH = [  # tags with a Python type of their own
    ("c48221196ab3", decimal.Decimal("273.15")), ("c48201c249010000000000000000", decimal.Decimal("184467440737095516160")),
    ("c482382a20", decimal.Decimal("-1E-43")),
    ("d8255000112233445566778899aabbccddeeff", uuid.UUID("00112233-4455-6677-8899-aabbccddeeff")),
    ("d901028301820203617a", {1, (2, 3), "z"}), ("a1d901028201020a", {frozenset({1, 2}): 10}),
    ("d903ec6a313934302d31302d3039", dt.date(1940, 10, 9)), ("d8643929b3", dt.date(1940, 10, 9)), ("d86400", dt.date(1970, 1, 1)),
]


@pytest.mark.parametrize("hex_in, expected", RICH)
def test_tags_with_python_types(hex_in, expected):
    got = loads(bytes.fromhex(hex_in))
    assert type(got) is type(expected) and got == expected


@pytest.mark.parametrize("tag, dtype", [(64, "u1"), (65, ">u2"), (66, ">u4"), (67, ">u8"), (68, "u1"), (69, "<u2"),
                                        (70, "<u4"), (71, "<u8"), (72, "i1"), (73, ">i2"), (74, ">i4"), (75, ">i8"),
                                        (77, "<i2"), (78, "<i4"), (79, "<i8"), (80, ">f2"), (81, ">f4"), (82, ">f8"),
                                        (84, "<f2"), (85, "<f4"), (86, "<f8")])
def test_typed_arrays(tag, dtype):
    array = np.arange(12).astype(dtype)
    flat = cbor2.dumps(cbor2.CBORTag(tag, array.tobytes()))
    got = loads(flat)
    assert got.dtype == np.dtype(dtype) and (got == array).all() and got.flags.writeable
    shaped = loads(cbor2.dumps(cbor2.CBORTag(40, [[3, 4], cbor2.CBORTag(tag, array.tobytes())])))
    assert shaped.shape == (3, 4) and (shaped == array.reshape(3, 4)).all()
    chunked = loads(bytes([0xd8, tag, 0x5f]) + cbor2.dumps(array.tobytes()[:5]) + cbor2.dumps(array.tobytes()[5:]) + b"\xff")
    assert (chunked == array).all()


@pytest.mark.parametrize("hex_in, message", [
    ("c482016161", "tag 4 content is not a decimal fraction"), ("c48201f93c00", "tag 4 content"),
    ("d8254100", "tag 37 content is not 16 bytes of a UUID"), ("d864f5", "tag 100 content"),
    ("d9010201", "tag 258 content is not an array"), ("d901028201a0", "a map cannot be a set element at byte 5"),
    ("d903ec6161", "tag 1004 content"), ("d903ec6a313934302d31302d30", "text string of 10 bytes cannot fit"),
    ("d8288281208101", "tag 40 dimensions are not an array of unsigned integers"),  # [-1]
    ("d82882820226d84a4400000001", "tag 40 dimensions are not an array"),  # [2, -7]
    ("d8288281820204d84a4400000001", "tag 40 dimensions are not an array"),  # [[2, 4]]
    ("d82882820203d84a4400000001", "tag 40 dimensions do not match"),  # 6 for 1
    ("d903ec6a313934302d31332d3039", "tag 1004 content"), ("d903ec01", "tag 1004 content"),
    ("d84a43010203", "not a whole number of elements"), ("d84a01", "tag 74 content is not a byte string"),
    ("d828820000", "tag 40 dimensions are not an array"), ("d82801", "tag 40 content is not"),
    ("d828828102d84a4400000001", "tag 40 dimensions do not match"),
])
def test_bad_tag_content(hex_in, message):
    with pytest.raises(CBORDecodeError, match=message):
        loads(bytes.fromhex(hex_in))


def test_unknown_typed_arrays_stay_tags():
    assert loads(bytes.fromhex("d84c4101")) == Tag(76, b"\x01")  # reserved
    assert loads(bytes.fromhex("d8534101"), tag_hook=lambda t, v: (t, v)) == (83, b"\x01")  # binary128
    assert loads(bytes.fromhex("d82882810180")) == Tag(40, [[1], []])  # elements that are not a typed array


def test_cached_keys_differ_in_any_byte():
    # Keys of every cached length, each differing from a base key in one byte,
    # read twice: the second time from the key cache.
    keys = ["k" * n for n in range(41)]
    keys += [k[:i] + "x" + k[i + 1:] for k in keys for i in range(len(k))]
    doc = {key: i for i, key in enumerate(keys)}
    for _ in range(2):
        assert loads(dumps(doc)) == doc


@pytest.mark.parametrize("indefinite", [False, True])
def test_long_arrays_grow_as_their_items_arrive(indefinite):
    value = [i % 300 - 100 for i in range(10_000)] + [None, "x", [1], 0.5] * 2000
    data = dumps(value, indefinite=indefinite)
    assert loads(data) == value
    with pytest.raises(CBORDecodeError, match="input ends"):
        loads(data[:-1])


@pytest.mark.parametrize("head", [b"\x9a\x00\x3d\x09\x00", b"\xba\x00\x1e\x84\x80"])  # 4M items, 2M pairs
def test_counts_the_input_does_not_fill_cost_no_memory(head):
    # Each count fits the bytes left, but one long item takes them all.
    data = head + b"\x5a\x00\x3d\x09\x00" + bytes(4_000_000)
    tracemalloc.start()
    try:
        with pytest.raises(CBORDecodeError, match="input ends"):
            loads(data)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 4_500_000  # the long item itself, and little more
