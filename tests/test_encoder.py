"""Encoder: dumps' bytes for dumps' values, tags for the rest, and the options that shape them."""
import datetime as dt
import decimal
import fractions
import io
import sys
import uuid

import cbor2
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from test_containers import CONTAINERS, MODES
from test_nesting import run
from test_scalars import SCALARS, OnlyBool, OnlyIndex, OnlyInt
import vantra_cbor
from vantra_cbor import Encoder, Simple, Tag, dumps, undefined

D = decimal.Decimal
UTC = dt.timezone.utc


def tz(hours, minutes=0, seconds=0):
    return dt.timezone(dt.timedelta(hours=hours, minutes=minutes, seconds=seconds))


@pytest.mark.parametrize("mode", MODES, ids=str)
def test_writes_what_dumps_writes(mode):
    encoder = Encoder(**mode)
    # Decimals and Fractions are the Encoder's own (tags 4 and 30), where dumps writes
    # those a float holds as floats; objects are numbers by their type only.
    own = (D, fractions.Fraction, OnlyIndex, OnlyInt)
    values = [v for v, _ in SCALARS if not isinstance(v, own)] + [v for v, *_ in CONTAINERS]
    for value in values:
        try:
            expected = dumps(value, **mode)
        except TypeError:  # refused by dumps (a truth value, once dumps stops writing those)
            with pytest.raises(TypeError):
                encoder.encode(value)
            continue
        assert encoder.encode(value) == expected, value


# RFC 8949 Appendix A and 3.4, RFC 8943, RFC 8746 figure 1, and the rules of each tag.
VECTORS = [
    (2**64 - 1, "1bffffffffffffffff"), (2**64, "c249010000000000000000"),
    (-2**63, "3b7fffffffffffffff"), (-2**63 - 1, "3b8000000000000000"),
    (-2**64, "3bffffffffffffffff"), (-2**64 - 1, "c349010000000000000000"),
    (2**128, "c251" + "01" + "00" * 16), (-2**128 - 1, "c351" + "01" + "00" * 16),
    (dt.datetime(2013, 3, 21, 20, 4, tzinfo=UTC), "c074" + b"2013-03-21T20:04:00Z".hex()),
    (dt.datetime(2013, 3, 21, 20, 4, 0, 500, tzinfo=tz(-5, -30)),
     "c07820" + b"2013-03-21T20:04:00.000500-05:30".hex()),
    (dt.datetime(2013, 3, 21, 20, 4, tzinfo=tz(1, 0, 30)), "c074" + b"2013-03-21T19:03:30Z".hex()),
    (dt.datetime(1, 1, 1, tzinfo=tz(0)), "c074" + b"0001-01-01T00:00:00Z".hex()),
    (dt.date(1940, 10, 9), "d903ec6a" + b"1940-10-09".hex()), (dt.date(99, 1, 2), "d903ec6a" + b"0099-01-02".hex()),
    (D("273.15"), "c48221196ab3"), (D("-1.5E+3"), "c482022e"), (D("-0.00"), "c4822100"),
    (D("12345678901234567890"), "c482001bab54a98ceb1f0ad2"),
    (D("-18446744073709551617"), "c48200c349010000000000000000"), (D("NaN"), "f97e00"), (D("sNaN"), "f97e00"),
    (D("-Infinity"), "f9fc00"), (uuid.UUID(int=0x0102), "d82550" + "00" * 14 + "0102"),
    ({1, 2}, "d9010282" + "0102"), (frozenset(), "d9010280"), ([frozenset([7])], "81d901028107"),
    (bytearray(b"\x01\x02\x03\x04"), "4401020304"), (memoryview(b"ab"), "426162"),
    (memoryview(np.arange(3, dtype="<u2")), "46" + "000001000200"),
    (Tag(23, b"\x01\x02\x03\x04"), "d74401020304"), (Tag(24, b"dIETF"), "d818456449455446"),
    (Tag(32, "http://www.example.com"), "d82076687474703a2f2f7777772e6578616d706c652e636f6d"),
    (Tag(2**64 - 1, None), "dbfffffffffffffffff6"), (undefined, "f7"), (Simple(16), "f0"), (Simple(255), "f8ff"),
    (np.array([[2, 4, 8], [4, 16, 256]], dtype=">u2"), "d82882820203d8414c000200040008000400100100"),
    (np.array(5, dtype="u1"), "d8288280d8404105"), (np.zeros((2, 0), "<f8"), "d82882820200d85640"),
    (np.arange(6, dtype=">i2").reshape(2, 3)[:, ::2], "d82882820202d849480000000200030005"),
    (np.arange(4, dtype="<u1").reshape(2, 2).T, "d82882820202d8404400020103"),
]


@pytest.mark.parametrize("value, expected", VECTORS, ids=repr)
def test_vectors(value, expected):
    assert Encoder().encode(value).hex() == expected
    assert Encoder(deterministic=True, max_depth=5).encode(value).hex() == expected


# RFC 8746's tag for each element type and byte order.
TYPED_ARRAY_TAGS = {"|u1": 64, ">u2": 65, ">u4": 66, ">u8": 67, "<u2": 69, "<u4": 70, "<u8": 71,
                    "|i1": 72, ">i2": 73, ">i4": 74, ">i8": 75, "<i2": 77, "<i4": 78, "<i8": 79,
                    ">f2": 80, ">f4": 81, ">f8": 82, "<f2": 84, "<f4": 85, "<f8": 86}


@pytest.mark.parametrize("dtype, tag", TYPED_ARRAY_TAGS.items())
def test_typed_arrays(dtype, tag):
    values = np.array([0, 1, 100, 127], dtype=dtype)
    raw = values.tobytes()
    assert Encoder().encode(values) == cbor2.dumps(cbor2.CBORTag(tag, raw))
    assert Encoder().encode(np.repeat(values, 50)[::50]) == Encoder().encode(values)  # strided: its C-ordered copy
    grid = np.arange(12).astype(dtype).reshape(3, 4)
    shaped = cbor2.loads(Encoder().encode(grid.T))  # older cbor2 reads the shape as a list
    assert (shaped.tag, list(shaped.value[0]), shaped.value[1]) == (40, [4, 3], cbor2.CBORTag(tag, grid.T.copy().tobytes()))


REFUSED_ARRAYS = [np.zeros(2, bool), np.zeros(2, complex), np.zeros(2, object), np.zeros(2, "M8[s]"),
                  np.zeros(2, np.longdouble), np.ma.array([1, 2])]


@pytest.mark.parametrize("value", REFUSED_ARRAYS, ids=lambda a: type(a).__name__ + " " + a.dtype.str)
def test_other_arrays_go_to_default(value):
    assert Encoder(default=repr).encode(value) == dumps(repr(value), False)
    with pytest.raises(TypeError, match="cannot encode object of type '(numpy.ndarray|MaskedArray)' .*at value$"):
        Encoder().encode(value)


@pytest.mark.parametrize("value, floats, shortest", [
    (2.0**-24, "fa33800000", "f90001"), (-2.0**-24, "fab3800000", "f98001"), (1023 * 2.0**-24, "fa387fc000", "f903ff"),
    (2.0**-14, "f90400", "f90400"), (2.0**-25, "fa33000000", "fa33000000"), (1.5 * 2.0**-24, "fa33c00000", "fa33c00000"),
    (-4.0, "f9c400", "f9c400"), (100000.0, "fa47c35000", "fa47c35000"), (1.0e300, "fb7e37e43c8800759c", "fb7e37e43c8800759c"),
])
def test_deterministic_floats_take_half_subnormals(value, floats, shortest):
    assert Encoder().encode(value).hex() == dumps(value).hex() == floats
    assert Encoder(deterministic=True).encode([value]).hex() == "81" + shortest


def test_deterministic_maps_and_sets_are_sorted():
    value = {"b": 1, "a": 2, 10: 0, -1: 0, (1,): 0, 100000: 0, "aa": {3, 1, 2}}
    assert Encoder(deterministic=True).encode(value).hex() == (
        "a7" "0a00" "1a000186a000" "2000" "616102" "616201" "626161d90102" "83010203" "810100")
    for duplicate in ({float("nan"): 1, float("nan"): 2}, {float("nan"), float("nan")}):
        with pytest.raises(ValueError, match="deterministically .* written alike at value$"):
            Encoder(deterministic=True).encode(duplicate)


@settings(max_examples=100, deadline=None)
@given(st.dictionaries(st.text(max_size=3) | st.integers() | st.tuples(st.integers()), st.integers(), max_size=12),
       st.randoms(use_true_random=False))
def test_deterministic_output_ignores_insertion_order(d, rng):
    items = list(d.items())
    rng.shuffle(items)
    shuffled = dict(items)
    assert Encoder(deterministic=True).encode([d, set(d)]) == Encoder(deterministic=True).encode([shuffled, set(shuffled)])


# The cbor2 that Python 3.7 gets reads tag 1004 as a plain tag.
CBOR2_READS_DATES = cbor2.loads(bytes.fromhex("d903ec6a323030302d30312d3031")) == dt.date(2000, 1, 1)
instants = st.datetimes(min_value=dt.datetime(1, 1, 2), max_value=dt.datetime(9999, 12, 30),
                        timezones=st.sampled_from([UTC, tz(5, 30), tz(-8)]))
tagged = (st.integers() | instants | st.dates() | st.uuids() | st.binary().map(bytearray)
          | st.decimals(allow_nan=False, allow_infinity=False) | st.frozensets(st.integers() | st.text(), max_size=4))
documents = st.recursive(tagged, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=4), inner,
                                                                                                max_size=4), max_leaves=12)


@settings(max_examples=300, deadline=None)
@given(documents)
def test_cbor2_and_loads_read_back(doc):
    for encoder in (Encoder(), Encoder(deterministic=True), Encoder(indefinite=True)):
        data = encoder.encode(doc)
        assert vantra_cbor.loads(data) == doc
        if CBOR2_READS_DATES:
            assert cbor2.loads(data) == doc
    if CBOR2_READS_DATES:
        assert Encoder().encode(doc) == cbor2.dumps(doc)  # cbor2 writes these types alike


@pytest.mark.parametrize("dtype", ["u1", ">u2", "<u4", ">u8", "i1", "<i2", ">i4", "<i8", ">f2", "<f4", ">f8", "<f8"])
@pytest.mark.parametrize("shape", [(0,), (7,), (3, 4), (2, 3, 2)])
def test_arrays_read_back(dtype, shape):
    array = np.arange(int(np.prod(shape))).astype(dtype).reshape(shape)
    for encoder in (Encoder(), Encoder(deterministic=True)):
        got = vantra_cbor.loads(encoder.encode(array))
        assert got.dtype == array.dtype and got.shape == array.shape and (got == array).all()
    got = vantra_cbor.loads(Encoder().encode(array.T))  # written in C order
    assert got.shape == array.T.shape and (got == array.T).all()


# Microseconds survive a float of seconds while it has them: until 2100 or so.
@settings(max_examples=200, deadline=None)
@given(st.datetimes(min_value=dt.datetime(1800, 1, 1), max_value=dt.datetime(2100, 1, 1),
                    timezones=st.sampled_from([UTC, tz(5, 30), tz(-8)])))
def test_epoch_datetimes_read_back(instant):
    assert cbor2.loads(Encoder(datetime_as="epoch").encode(instant)) == instant


@pytest.mark.parametrize("value, expected", [
    (dt.datetime(2013, 3, 21, 20, 4, tzinfo=UTC), "c11a514b67b0"),
    (dt.datetime(2013, 3, 21, 20, 4, 0, 500000, tzinfo=UTC), "c1fb41d452d9ec200000"),
    (dt.datetime(2013, 3, 21, 21, 4, tzinfo=tz(1)), "c11a514b67b0"),
    (dt.datetime(1969, 12, 31, 23, 59, 59, tzinfo=UTC), "c120"),
    (dt.datetime(1970, 1, 1, 0, 0, 0, 500000, tzinfo=UTC), "c1f93800"),
])
def test_epoch_datetimes(value, expected):
    assert Encoder(datetime_as="epoch").encode(value).hex() == expected


class Thing:
    pass


@pytest.mark.parametrize("value, error, message", [
    ({"a": [1, 2, Thing()]}, TypeError, "cannot encode object of type 'Thing' at value[\"a\"][2]"),
    ([Thing()], TypeError, "cannot encode object of type 'Thing' at value[0]"),
    ({"it's": (0, {Thing()})}, TypeError, "cannot encode object of type 'Thing' as an element of value[\"it's\"][1]"),
    ({1: {Thing(): 1}}, TypeError, "cannot encode object of type 'Thing' as a key of value[1]"),
    ({(1, Thing()): 1}, TypeError, "cannot encode object of type 'Thing' at key[1], a key of value"),
    (Tag(9, [Thing()]), TypeError, "cannot encode object of type 'Thing' at value.value[0]"),
    ({"k" * 50: Thing()}, TypeError, "cannot encode object of type 'Thing' at value['" + "k" * 36 + "...]"),
    (memoryview(b"abcd")[::2], TypeError, "cannot encode object of type 'memoryview' (not C-contiguous) at value"),
    ([dt.datetime(2020, 1, 1)], ValueError, "cannot encode a naive datetime at value[0]: give it a timezone, "
                                            "for example tzinfo=datetime.timezone.utc"),
    (["a\ud800"], ValueError, "cannot encode a str that UTF-8 cannot hold at value[0]: 'utf-8' codec can't encode "
                              "character '\\ud800' in position 1: surrogates not allowed"),
])
def test_errors_name_the_place(value, error, message):
    for encoder in (Encoder(), Encoder(deterministic=True), Encoder(indefinite=True, max_depth=9)):
        with pytest.raises(ENCODE_ERRORS[error]) as e:
            encoder.encode(value)
        assert str(e.value) == message


ENCODE_ERRORS = {TypeError: vantra_cbor.CBOREncodeTypeError, ValueError: vantra_cbor.CBOREncodeValueError}


def test_default():
    seen = []

    def default(obj):
        seen.append(obj)
        return {"thing": id(obj)} if isinstance(obj, Thing) else [str(obj)]

    things = [Thing(), Thing()]
    value = [things[0], {"t": things[1]}, 1j]
    assert cbor2.loads(Encoder(default=default).encode(value)) == [
        {"thing": id(things[0])}, {"t": {"thing": id(things[1])}}, ["1j"]]
    assert seen == [things[0], things[1], 1j]
    with pytest.raises(RecursionError):
        Encoder(default=lambda obj: [obj]).encode(Thing())
    with pytest.raises(ZeroDivisionError):
        Encoder(default=lambda obj: 1 / 0).encode(Thing())
    with pytest.raises(TypeError) as e:  # the hook's own error, as it raised it
        Encoder(default=lambda obj: len(obj)).encode(Thing())
    assert type(e.value) is TypeError


def dumps_writes_truth_values():
    try:
        return dumps([OnlyBool(True)]) == b"\x9f\xf5\xff"
    except RuntimeError:
        return False


@pytest.mark.skipif(dumps_writes_truth_values(), reason="dumps still writes truth values here")
@pytest.mark.parametrize("value", [dt.timedelta(seconds=5), range(3), OnlyBool(True)], ids=repr)
def test_truth_values_go_to_default(value):
    assert Encoder(default=repr).encode([value]) == dumps([repr(value)], False)
    assert Encoder().encode(np.bool_(True)) == b"\xf5"


@pytest.mark.parametrize("kwargs, error, message", [
    ({"indefinite": 1}, TypeError, "indefinite must be True or False, not int"),
    ({"deterministic": None}, TypeError, "deterministic must be True, False or 'length-first', not NoneType"),
    ({"deterministic": "length_first"}, ValueError, "deterministic must be True, False or 'length-first', not 'length_first'"),
    ({"deterministic": "length-first", "indefinite": True}, ValueError,
     "deterministic='length-first' writes definite lengths only: indefinite must be False with it"),
    ({"timezone": "UTC"}, TypeError, "timezone must be a datetime.tzinfo or None, not str"),
    ({"indefinite": True, "deterministic": True}, ValueError,
     "deterministic=True writes definite lengths only: indefinite must be False with it"),
    ({"default": 3}, TypeError, "default must be callable or None, not int"),
    ({"datetime_as": "iso"}, ValueError, "datetime_as must be 'text' or 'epoch', not 'iso'"),
    ({"datetime_as": b"text"}, TypeError, "datetime_as must be 'text' or 'epoch', not bytes"),
    ({"max_depth": -1}, ValueError, "max_depth must be from 0 (no limit) to 2**64-1, not -1"),
    ({"max_depth": 2**64}, ValueError, "max_depth must be from 0 (no limit) to 2**64-1, not 18446744073709551616"),
    ({"max_depth": 1.0}, TypeError, "max_depth must be an int, not float"),
    ({"colour": 1}, TypeError, "'colour' is an invalid keyword argument for Encoder()"
     if sys.version_info < (3, 13) else "Encoder() got an unexpected keyword argument 'colour'"),
])
def test_options_checked_at_construction(kwargs, error, message):
    with pytest.raises(ENCODE_ERRORS[error]) as e:
        Encoder(**kwargs)
    assert str(e.value) == message
    assert issubclass(ENCODE_ERRORS[error], error) and issubclass(ENCODE_ERRORS[error], vantra_cbor.CBOREncodeError)


@pytest.mark.parametrize("call, message", [
    (lambda e: e.encode(), "encode() takes exactly one argument (0 given)"),
    (lambda e: e.encode(1, 2), "encode() takes exactly one argument (2 given)"),
    (lambda e: e.encode(value=1), "encode() takes no keyword arguments"),
    (lambda e: e.encode(1, **{}), None),
])
def test_encode_arguments(call, message):
    if message is None:
        assert call(Encoder()) == b"\x01"
        return
    with pytest.raises(vantra_cbor.CBOREncodeTypeError) as e:
        call(Encoder())
    # The interpreter's words, which name the class from 3.10 on.
    assert str(e.value) == ("Encoder." if sys.version_info >= (3, 10) else "") + message


def test_options_and_dump():
    encoder = Encoder(deterministic=True, default=str, datetime_as="epoch", max_depth=np.uint8(3))
    assert (encoder.indefinite, encoder.deterministic, encoder.default, encoder.datetime_as, encoder.max_depth) == \
        (False, True, str, "epoch", 3)
    assert repr(Encoder()) == ("Encoder(indefinite=False, deterministic=False, default=None, datetime_as='text', max_depth=0, "
                               "value_sharing=False, string_referencing=False, timezone=None)")
    zoned = Encoder(deterministic="length-first", timezone=UTC)
    assert (zoned.deterministic, zoned.timezone, Encoder().timezone) == ("length-first", UTC, None)
    assert repr(zoned) == ("Encoder(indefinite=False, deterministic='length-first', default=None, datetime_as='text', "
                           "max_depth=0, value_sharing=False, string_referencing=False, timezone=datetime.timezone.utc)")
    out = io.BytesIO()
    assert encoder.dump({"b": 1, "a": [dt.date(2000, 1, 2)]}, out) is None
    assert out.getvalue() == encoder.encode({"b": 1, "a": [dt.date(2000, 1, 2)]})


def test_buffers_stay_whole_while_hooks_run():
    # A hook run after a long bytearray was written cannot resize it: the
    # Encoder holds its buffer until the result is made. An array's data is
    # copied, as resize(refcheck=False) would free it.
    # Little-endian doubles on every machine, so that tag 86 names them.
    blob, array, viewed, tried = bytearray(b"x" * 5000), np.arange(1000.0, dtype="<f8"), np.arange(1000), []

    class Hook:
        pass

    def resize_all(obj):
        for resize in (blob.clear, lambda: array.resize(0, refcheck=False), lambda: viewed.resize(0, refcheck=False)):
            try:
                resize()
            except (BufferError, ValueError) as e:
                tried.append(type(e))
        return 7

    data = Encoder(default=resize_all).encode([blob, array, memoryview(viewed), Hook(), {1, Hook()}])
    assert tried == [BufferError] * 2 and array.shape == viewed.shape == (0,)
    assert cbor2.loads(data) == [b"x" * 5000, cbor2.CBORTag(86, np.arange(1000.0, dtype="<f8").tobytes()),
                                 np.arange(1000).tobytes(), 7, {1, 7}]


def test_no_leaks():
    values = [2**70, -2**70, D("-1.25"), D("1" * 30), dt.datetime(2020, 1, 1, tzinfo=tz(2)), dt.date.today(),
              uuid.uuid4(), {1, "a"}, bytearray(600), np.arange(300), Tag(1, [1]), Simple(1), [Thing()], "a\udc00"]
    encoders = [Encoder(default=repr), Encoder(deterministic=True), Encoder(datetime_as="epoch")]

    def call(v):
        for e in encoders:
            try:
                e.encode(v)
            except (TypeError, ValueError):
                pass

    for v in values:
        call(v)
    before = [sys.getrefcount(v) for v in values]
    for _ in range(300):
        for v in values:
            call(v)
    assert [sys.getrefcount(v) for v in values] == before


DEEP = """
import json, os, sys, threading
from vantra_cbor import Encoder, Tag

def outcome(value, encoder):
    try:
        encoder.encode(value)
        return "ok"
    except RecursionError:
        return "RecursionError"

deep_list, deep_tag, deep_set = [], None, frozenset()
for _ in range(300000):
    deep_list, deep_tag, deep_set = [deep_list], Tag(1, deep_tag), frozenset([deep_set])
class Thing: pass
keep = Encoder(default=lambda o: [o])
encoders = [Encoder(), Encoder(deterministic=True), Encoder(indefinite=True, max_depth=10**9), keep]
values = [deep_list, deep_tag, deep_set, {deep_set: 1}, Thing()]

def report():
    print(json.dumps([outcome(v, e) for v in values for e in encoders if v is not values[-1] or e is keep]))

report()
sys.setrecursionlimit(10**8)
report()
threading.stack_size(512 * 1024)
t = threading.Thread(target=report); t.start(); t.join()
sys.stdout.flush()
os._exit(0)  # freeing 300000 nested Tags recurses in their deallocator
"""


def test_deep_values_and_endless_defaults_end_in_recursion_error():
    rows = run(DEEP)
    assert rows == [["RecursionError"] * 17] * 3
