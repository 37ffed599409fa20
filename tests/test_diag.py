"""diag and from_diag: RFC 8949's vectors and notation, indicators, errors with their
places, byte-exact round trips on generated CBOR, and agreement with cbor-diag."""
import ctypes as C
import json
import re
import struct
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vantra_cbor
from cbor_strategies import items, sequences
from codec import Fault, contents, lib
from vantra_cbor import CBORDecodeError, DiagDecodeError, diag, from_diag

try:
    import cbor_diag
except ImportError:  # no wheel for some platforms (musllinux before Python 3.9)
    cbor_diag = None

# RFC 8949 Appendix A: (hex, diagnostic column, with indicators where the bytes are
# not in preferred form (RFC 8949 8.1) or where the column is in another form of the
# same notation: JSON escapes, h'' under tag 24). None: as the column.
APPENDIX_A = [
    ("00", "0", None), ("01", "1", None), ("0a", "10", None), ("17", "23", None), ("1818", "24", None),
    ("1819", "25", None), ("1864", "100", None), ("1903e8", "1000", None), ("1a000f4240", "1000000", None),
    ("1b000000e8d4a51000", "1000000000000", None), ("1bffffffffffffffff", "18446744073709551615", None),
    ("c249010000000000000000", "18446744073709551616", None),
    ("3bffffffffffffffff", "-18446744073709551616", None),
    ("c349010000000000000000", "-18446744073709551617", None),
    ("20", "-1", None), ("29", "-10", None), ("3863", "-100", None), ("3903e7", "-1000", None),
    ("f90000", "0.0", None), ("f98000", "-0.0", None), ("f93c00", "1.0", None),
    ("fb3ff199999999999a", "1.1", None), ("f93e00", "1.5", None), ("f97bff", "65504.0", None),
    ("fa47c35000", "100000.0", None), ("fa7f7fffff", "3.4028234663852886e+38", None),
    ("fb7e37e43c8800759c", "1.0e+300", None), ("f90001", "5.960464477539063e-8", None),
    ("f90400", "0.00006103515625", None), ("f9c400", "-4.0", None), ("fbc010666666666666", "-4.1", None),
    ("f97c00", "Infinity", None), ("f97e00", "NaN", None), ("f9fc00", "-Infinity", None),
    ("fa7f800000", "Infinity", "Infinity_2"), ("fa7fc00000", "NaN", "NaN_2"),
    ("faff800000", "-Infinity", "-Infinity_2"), ("fb7ff0000000000000", "Infinity", "Infinity_3"),
    ("fb7ff8000000000000", "NaN", "NaN_3"), ("fbfff0000000000000", "-Infinity", "-Infinity_3"),
    ("f4", "false", None), ("f5", "true", None), ("f6", "null", None), ("f7", "undefined", None),
    ("f0", "simple(16)", None), ("f8ff", "simple(255)", None),
    ("c074323031332d30332d32315432303a30343a30305a", '0("2013-03-21T20:04:00Z")', None),
    ("c11a514b67b0", "1(1363896240)", None), ("c1fb41d452d9ec200000", "1(1363896240.5)", None),
    ("d74401020304", "23(h'01020304')", None), ("d818456449455446", "24(h'6449455446')", '24(<<"IETF">>)'),
    ("d82076687474703a2f2f7777772e6578616d706c652e636f6d", '32("http://www.example.com")', None),
    ("40", "h''", None), ("4401020304", "h'01020304'", None), ("60", '""', None), ("6161", '"a"', None),
    ("6449455446", '"IETF"', None), ("62225c", r'"\"\\"', None), ("62c3bc", r'"\u00fc"', '"\u00fc"'),
    ("63e6b0b4", r'"\u6c34"', '"\u6c34"'), ("64f0908591", r'"\ud800\udd51"', '"\U00010151"'),
    ("80", "[]", None), ("83010203", "[1, 2, 3]", None), ("8301820203820405", "[1, [2, 3], [4, 5]]", None),
    ("98190102030405060708090a0b0c0d0e0f101112131415161718181819", "[%s]" % ", ".join(map(str, range(1, 26))), None),
    ("a0", "{}", None), ("a201020304", "{1: 2, 3: 4}", None), ("a26161016162820203", '{"a": 1, "b": [2, 3]}', None),
    ("826161a161626163", '["a", {"b": "c"}]', None),
    ("a56161614161626142616361436164614461656145", '{"a": "A", "b": "B", "c": "C", "d": "D", "e": "E"}', None),
    ("5f42010243030405ff", "(_ h'0102', h'030405')", None), ("7f657374726561646d696e67ff", '(_ "strea", "ming")', None),
    ("9fff", "[_ ]", None), ("9f018202039f0405ffff", "[_ 1, [2, 3], [_ 4, 5]]", None),
    ("9f01820203820405ff", "[_ 1, [2, 3], [4, 5]]", None), ("83018202039f0405ff", "[1, [2, 3], [_ 4, 5]]", None),
    ("83019f0203ff820405", "[1, [_ 2, 3], [4, 5]]", None),
    ("9f0102030405060708090a0b0c0d0e0f101112131415161718181819ff", "[_ %s]" % ", ".join(map(str, range(1, 26))), None),
    ("bf61610161629f0203ffff", '{_ "a": 1, "b": [_ 2, 3]}', None), ("826161bf61626163ff", '["a", {_ "b": "c"}]', None),
    ("bf6346756ef563416d7421ff", '{_ "Fun": true, "Amt": -2}', None),
]

FLOAT = re.compile(r"-?\d+\.\d+(?:e[-+]?\d+)?")


def same_floats(text):
    """Floats written as the shortest repr Python gives: the column's 0.00006103515625 is 6.103515625e-05."""
    return FLOAT.sub(lambda m: repr(float(m.group())), text)


@pytest.mark.parametrize("hexdata, column, ours", APPENDIX_A, ids=[a[0][:24] for a in APPENDIX_A])
def test_appendix_a(hexdata, column, ours):
    data = bytes.fromhex(hexdata)
    if ours is None or "_" not in ours:  # without indicators the column is the preferred form
        assert from_diag(column) == data
    assert from_diag(ours or column) == data
    text = diag(data)
    assert same_floats(text) == same_floats(ours or column)
    if ours is None or re.sub(r"_\d", "", ours) == column:  # indicators are all that differ
        assert same_floats(re.sub(r"_\d", "", text)) == same_floats(column)
    assert from_diag(text) == data


# RFC 8949 section 8 and 8.1, RFC 8610 appendix G and the extended notation: text, CBOR.
NOTATION = [
    ("h'12345678'", "4412345678"), ("b32'CI2FM6A'", "4412345678"), ("h32'28Q5CU0'", "4412345678"),
    ("b64'EjRWeA'", "4412345678"), ("b64'EjRWeA=='", "4412345678"), ("b64'-_8'", "42fbff"), ("b64'+/8='", "42fbff"),
    ("<<1, 2>>", "420102"), ("<<>>", "40"), ("24(<<1>>)", "d8184101"), ("(_ h'0123', h'4567')", "5f4201234245 67ff"),
    ("[_ 1, 2]", "9f0102ff"), ("{_ 1: 2}", "bf0102ff"), ("(_ \"a\", \"b\")", "7f61616162ff"),
    ("''_", "5fff"), ('""_', "7fff"), ("1.5_1", "f93e00"), ("1.5_2", "fa3fc00000"), ("1.5_3", "fb3ff8000000000000"),
    ("0_0", "1800"), ("0_1", "190000"), ("0_2", "1a00000000"), ("0_3", "1b0000000000000000"), ("5_i", "05"),
    ("-1_0", "3800"), ('"a"_0', "780161"), ("h''_1", "590000"), ("[_0 1]", "980101"), ("{_1 }", "b90000"),
    ("24_1(0)", "d9001800"), ("<<1>>_0", "580101"),
    ("'Hello ' h'776f726c64'", "4b48656c6c6f20776f726c64"), ('"a" + \'b\'', "626162"), ("'a' + \"b\"", "426162"),
    ("h'01 02' / a comment / ", "420102"), ("h'01 /x/ 0 2'", "420102"), ("h'01 # to the end\n 02'", "420102"),
    ("# leading\n[1, / two / 2,]", "820102"), ("0x10", "10"), ("0X1f", "181f"), ("0o17", "0f"), ("0b101", "05"),
    ("-0x10", "2f"), ("-0", "00"), ("+7", "07"), ("0x10000000000000000", "c249010000000000000000"),
    ("-0x10000000000000001", "c349010000000000000000"), ("-18446744073709551616", "3bffffffffffffffff"),
    ("1e400", "f97c00"), ("-1e-400", "f98000"), ("1.1_1", "f93c66"), ("65520.0_1", "f97c00"), ("1e-8_1", "f90000"),
    ("simple(0)", "e0"), ("simple(20)", "f4"), ("simple(32)", "f820"), ("float'7e01'", "f97e01"),
    ("float'7fc00001'", "fa7fc00001"), ("float'fff8000000000001'", "fbfff8000000000001"),
    ("NaN_1", "f97e00"), ("-Infinity_3", "fbfff0000000000000"), (r'"\u00fc\ud83d\ude00"', "66c3bcf09f9880"),
    (r'"\udcff\/"', "62ff2f"), (r'"\u{7}\u{1F600}"', "6507f09f9880"), (r"'it\'s'", "4469742773"), ("2(h'00')", "c24100"),
]


@pytest.mark.parametrize("text, hexdata", NOTATION, ids=[n[0] for n in NOTATION])
def test_notation(text, hexdata):
    assert from_diag(text) == bytes.fromhex(hexdata.replace(" ", ""))


@pytest.mark.parametrize("data, kwargs, text", [
    (b"\x01\x02", dict(sequence=True), "1, 2"),
    (b"\x01\x02", dict(sequence=True, indent=2), "1,\n2"),
    (b"", dict(sequence=True), ""),
    (bytes.fromhex("a26161016162820203"), dict(indent=2), '{\n  "a": 1,\n  "b": [\n    2,\n    3\n  ]\n}'),
    (bytes.fromhex("9f80a0ff"), dict(indent=1), "[_\n [],\n {}\n]"),
    (bytes.fromhex("9fff"), dict(indent=0), "[_ ]"),
    (bytes.fromhex("5f4101ff"), dict(indent=0), "(_\nh'01'\n)"),
    (bytes.fromhex("c34100"), {}, "3(h'00')"),  # not preferred: no integer
    (bytes.fromhex("d818420102"), {}, "24(h'0102')"),  # two items are no embedded item
    (bytes.fromhex("d81859000101"), {}, "24(h'01'_1)"),
    (bytes.fromhex("6100"), {}, r'"\u0000"'), (bytes.fromhex("63080a7f"), {}, r'"\b\n\u007f"'),
    (bytes.fromhex("63eda080"), {}, r'"\udced\udca0\udc80"'),  # an encoded surrogate is not UTF-8
    (bytes.fromhex("fa33800000"), {}, "5.960464477539063e-8_2"), (bytes.fromhex("f97e01"), {}, "float'7e01'"),
    (bytes.fromhex("fa3fc00000"), {}, "1.5_2"), (bytes.fromhex("fb3ff8000000000000"), {}, "1.5_3"),
    (bytes.fromhex("fa3f8ccccd"), {}, "1.100000023841858"), (bytes.fromhex("fb4630000000000000"), {}, "1.2676506002282294e+30_3"),
    (bytes.fromhex("f9fe00"), {}, "float'fe00'"), (bytes.fromhex("f8ff"), {}, "simple(255)"),
])
def test_diag_forms(data, kwargs, text):
    assert diag(data, **kwargs) == text
    assert from_diag(text, sequence=kwargs.get("sequence", False)) == data


# Malformed CBOR: hex, the byte at fault, whether the input ends inside the item.
MALFORMED = [
    ("", 0, True), ("18", 0, True), ("1c", 0, False), ("3f", 0, False), ("ff", 0, False), ("d8", 0, True),
    ("df", 0, False), ("fa0000", 0, True), ("f818", 0, False), ("9f", 1, True), ("830102", 0, True),
    ("a1010203", 3, False), ("5f01ff", 1, False), ("5f5f4100ffff", 1, False), ("7f4100ff", 1, False),
    ("7f6161", 3, True), ("bf01ff", 2, False), ("c0", 1, True), ("0001", 1, False), ("8201fc", 2, False),
    ("5a00000002ff", 0, True), ("d81842ff", 2, True),
    ("8301ff", 2, False), ("a2ff", 1, False), ("821c", 1, False),  # counts the bytes left cannot hold
]


@pytest.mark.parametrize("hexdata, pos, truncated", MALFORMED, ids=[m[0] or "empty" for m in MALFORMED])
def test_malformed(hexdata, pos, truncated):
    data = bytes.fromhex(hexdata)
    with pytest.raises(CBORDecodeError) as e:
        diag(data)
    assert e.value.pos == pos and str(e.value).endswith(" at byte %d" % pos)
    assert isinstance(e.value, vantra_cbor.CBORDecodeEOF) == truncated == isinstance(e.value, EOFError)
    if hexdata == "0001":
        assert diag(data, sequence=True) == "0, 1"


# Text from_diag refuses: where (line, column, character) and why.
BAD_TEXT = [
    ("[1, 2", 1, 6, "expected ',' or ']'"), ("[1 2]", 1, 4, "expected ',' or ']'"),
    ("{1}", 1, 3, "expected ':' after a map key"), ("{1: 2, 3}", 1, 9, "expected ':' after a map key"),
    ("h'0'", 1, 4, "an odd number of hex digits in h''"), ("h'0g'", 1, 4, "not a hex digit in h''"),
    ("foo", 1, 1, "unknown word 'foo'"), ('"abc', 1, 1, "unterminated string"), ("/ x", 1, 1, "unterminated comment"),
    ("300_0", 1, 1, "300 does not fit the indicated width"), ("[_0 %s]" % ", ".join(["0"] * 256), 1, 1,
                                                                 "256 does not fit the indicated width"),
    ("simple(24)", 1, 8, "simple values are 0 to 23 and 32 to 255"), ("(_ 1)", 1, 4, "expected a string as a chunk"),
    ("(_ \"a\", b64", 1, 9, "expected a string"), ("(_ h'', x y", 1, 9, "expected a string"),
    ("(_ h'', \"\")", 1, 9, "the chunks of an indefinite-length string must all be byte strings or all text strings"),
    ("2(1", 1, 4, "expected ')' after the tag's item"), ("1, 2", 1, 2, "expected the end of the text after the item"),
    ("", 1, 1, "expected an item, found the end of the text"), ("\n\n  ]", 3, 3, "expected an item"),
    ("[\n 1.5_0]", 2, 2, "a float's width is _1, _2 or _3"), ('"\\q"', 1, 2, "unknown escape '\\q'"),
    ('"\\ud800"', 1, 2, "a lone surrogate in \\u escapes"), ("b64'A'", 1, 6, "b64'' ends in the middle of a group"),
    ("\u00fc\u00fc", 1, 1, "expected an item"), ('["\u00fc" x]', 1, 6, "expected ',' or ']'"),
    ("1" * 20001, 1, 1, "decimal integers longer than 20000 digits are refused: write it in hex"),
    ("0x1.8p1", 1, 4, "hexadecimal floats are not supported"), ("float'7e0'", 1, 1, "float'' holds 4, 8 or 16 hex digits"),
    ("'abc'_", 1, 1, "only an empty string can be written with '_' alone: use (_ ...)"),
    ("[1]_", 1, 4, "expected the end of the text after the item"), ("18446744073709551616_3", 1, 1,
                                                                     "an integer beyond 64 bits has no width to indicate"),
]


@pytest.mark.parametrize("text, line, column, msg", BAD_TEXT, ids=[b[0][:20] for b in BAD_TEXT])
def test_bad_text(text, line, column, msg):
    with pytest.raises(DiagDecodeError) as e:
        from_diag(text)
    err = e.value
    assert isinstance(err, ValueError) and isinstance(err, vantra_cbor.CBORError)
    pos = len("".join(text.splitlines(True)[:line - 1])) + column - 1
    assert (err.msg, err.lineno, err.colno, err.pos, err.doc) == (msg, line, column, pos, text)
    assert str(err) == "%s: line %d column %d (char %d)" % (msg, line, column, pos)


def test_arguments():
    with pytest.raises(TypeError):
        diag("text")
    with pytest.raises(TypeError):
        from_diag(b"1")
    with pytest.raises(TypeError):
        diag(b"\x00", indent=True)
    with pytest.raises(ValueError, match="indent must be from 0 to 32 or None, not 33"):
        diag(b"\x00", indent=33)
    assert diag(bytearray(b"\x01")) == diag(memoryview(b"\x00\x01")[1:]) == "1"


@settings(max_examples=400, deadline=None)
@given(items())
def test_round_trip(data):
    text = diag(data)
    assert from_diag(text) == data
    assert from_diag(diag(data, indent=2)) == data


def double_text(value):
    return re.sub(r"_\d$", "", diag(struct.pack(">Bd", 0xfb, value)))


def test_float_digits_next_to_powers_of_two():
    # The fewest digits that read back, the nearest of those, as Python's repr
    # (from printf's digits too, where the library has no to_chars). Next to a
    # power of two the nearest decimal of a length may not read back when the
    # one on the other side does: 2**-24 is 5.960464477539063e-8.
    wrong = [e for e in range(-1074, 1024) if Decimal(double_text(2.0 ** e)) != Decimal(repr(2.0 ** e))]
    assert wrong == []


@settings(max_examples=1000, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_float_digits_are_the_shortest_nearest(value):
    assert Decimal(double_text(value)) == Decimal(repr(value))


@settings(max_examples=100, deadline=None)
@given(sequences)
def test_round_trip_sequence(data):
    assert from_diag(diag(data, sequence=True), sequence=True) == data
    assert from_diag(diag(data, sequence=True, indent=0), sequence=True) == data


def test_deep_nesting():
    depth = 200000  # far beyond any stack: neither side recurses
    data = b"\x9f" * depth + b"\x81" * depth + b"\xd8\x18\x41\x80" + b"\xff" * depth
    text = diag(data)
    assert text.count("[") == 2 * depth + 1 and from_diag(text) == data
    assert from_diag(diag(data, indent=1)) == data


# ---- Agreement with cbor-diag --------------------------------------------------------

def cbor_diag_faults(data, ours):
    """Where cbor-diag is known to be wrong, or our notation goes beyond what it reads."""
    faults = []
    if "float'" in ours:
        faults.append("drops NaN payloads and signs (NaN_1 for f97e01); reads no float''")
    if "\\udc" in ours:
        faults.append("refuses text that is not UTF-8; reads no \\udc80 escapes")
    if "''_" in ours or '""_' in ours:
        faults.append("panics (not yet implemented) on indefinite-length strings without chunks")
    big = [int(m) for m in re.findall(r"-?\d{20,}", ours)]
    if any(n >= 2**64 and n.bit_length() % 8 == 0 for n in big):
        faults.append("reads 2361183241434822606848 (2**71) as c24a0080.., with a leading zero byte")
    if any(n < -2**64 for n in big):
        faults.append("reads -18446744073709551617 as c349010000000000000001 (writes it, with pretty=True, "
                      "as -18446744073709551616)")
    return faults


@pytest.mark.skipif(cbor_diag is None, reason="cbor-diag is not installed")
@settings(max_examples=300, deadline=None)
@given(items())
def test_agrees_with_cbor_diag(data):
    ours = diag(data)
    if cbor_diag_faults(data, ours):
        return
    assert cbor_diag.diag2cbor(ours) == data
    assert from_diag(cbor_diag.cbor2diag(data, pretty=False)) == data


@pytest.mark.parametrize("hexdata, right", [
    ("c349010000000000000000", "-18446744073709551617"), ("f97e01", "float'7e01'"), ("fa7fc00001", "float'7fc00001'"),
])
def test_cbor_diag_known_faults(hexdata, right):
    """Where cbor-diag is wrong: we are right."""
    assert diag(bytes.fromhex(hexdata)) == right and from_diag(right) == bytes.fromhex(hexdata)


# ---- The codec's exported functions ---------------------------------------------------------

def test_codec_interface():
    gen = lib.cbor_generator_create()
    fault = Fault()
    try:
        assert lib.cbor_diag(gen, b"\x82\x01\x18\x02", 4, -1, 0, C.byref(fault)) == 0 and fault.found == 0
        assert contents(gen) == b"[1, 2_0]"
        assert lib.cbor_from_diag(gen, b" [1]", 4, 0, C.byref(fault)) == 0  # appended
        assert contents(gen) == b"[1, 2_0]\x81\x01"
        assert lib.cbor_from_diag(gen, b"\n [1 ", 5, 0, C.byref(fault)) == -1  # nothing appended
        assert contents(gen) == b"[1, 2_0]\x81\x01"
        assert (fault.found, fault.offset, fault.line, fault.column, fault.message) == (1, 5, 2, 5, b"expected ',' or ']'")
        assert lib.cbor_diag(gen, b"\x82\x01", 2, -1, 0, C.byref(fault)) == -1
        assert (fault.found, fault.offset, fault.message) == (2, 0, b"array of 2 items cannot fit in the bytes left (1)")
        size = C.c_uint64()
        assert lib.cbor_item_size(b"\x82\x01\x02\x03", 4, C.byref(size), C.byref(fault)) == 0 and size.value == 3
        assert lib.cbor_item_size(b"\x82\x01", 2, C.byref(size), C.byref(fault)) == -1 and fault.found == 2
        faults = (Fault * 4)()
        assert lib.cbor_check(b"\xa2\x01\x00\x01\x00", 5, 0, faults) == 0
        assert [(f.found, f.offset) for f in faults] == [(0, 0), (1, 3), (1, 3), (1, 3)]
        assert faults[1].message == b"duplicate map key"
    finally:
        lib.cbor_generator_free(gen)


def test_json_decode_error_attributes_match():
    """DiagDecodeError has what json.JSONDecodeError has, under the same names."""
    try:
        json.loads("[1 2]")
    except json.JSONDecodeError as e:
        expected = {name for name in vars(e)}
    with pytest.raises(DiagDecodeError) as e:
        from_diag("[1 2]")
    assert expected <= set(vars(e.value))


ALLOC_CASES = """
import ctypes as C
from codec import lib, contents, Fault

DATA = bytes.fromhex("9fa26161d81843820102" "6162c349010000000000000000" "5f4101ff7f6161ffff")
TEXT = b"[_ {\\"a\\": 24(<<[1, 2]>>), 'b': -18446744073709551617}, (_ h'01'), [[[1]]], <<[_ 1]>>, 'x' h'00']"
fault, faults = Fault(), (Fault * 4)()
calls = {
    "diag": lambda g: lib.cbor_diag(g, DATA, len(DATA), 2, 0, C.byref(fault)),
    "from_diag": lambda g: lib.cbor_from_diag(g, TEXT, len(TEXT), 0, C.byref(fault)),
    "check": lambda g: lib.cbor_check(DATA, len(DATA), 0, faults),
}

def attempt(call, nth):
    gen = lib.cbor_generator_create()
    lib._cbor_generator_write_bytes(gen, b"-", 1)
    arm_from(nth)
    rc = call(gen)
    made = disarm()
    out = [rc, contents(gen).hex(), made]
    lib.cbor_generator_free(gen)
    return out

for name, call in calls.items():
    ok = attempt(call, 0)
    emit([name, ok, [attempt(call, n) for n in range(1, ok[2] + 1)]])
"""


def test_out_of_memory(failalloc):
    """Every allocation failing in turn: -2 and the output as it was, never a crash or a part."""
    for name, (rc, full, made), failed in failalloc(ALLOC_CASES):
        assert rc == 0 and made >= 1, name
        if name == "diag":
            assert bytes.fromhex(full)[1:].decode() == diag(bytes.fromhex(
                "9fa26161d81843820102" "6162c349010000000000000000" "5f4101ff7f6161ffff"), indent=2)
        assert [f[:2] for f in failed] == [[-2, "2d"]] * made, name
