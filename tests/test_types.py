"""The tags of other libraries' types: IP addresses (RFC 9164), rational numbers, bigfloats,
regular expressions and MIME messages; dataclasses and enums; numbers only by their type;
the timezone and length-first options."""
import dataclasses
import datetime as dt
import decimal
import email.message
import enum
import ipaddress as ip
import re
import sys
import typing

import cbor2
import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from test_encoder import ENCODE_ERRORS, Thing, tz
from test_hostile import run
from test_scalars import OnlyIndex, OnlyInt
from vantra_cbor import CBORDecodeError, Encoder, Tag, dumps, loads

D, F = decimal.Decimal, __import__("fractions").Fraction
UTC = dt.timezone.utc
ZONES = sys.version_info >= (3, 9)  # ipaddress has IPv6 zones from 3.9 on
LINK = "fe8000000000020202fffffffe030303"  # fe80::202:2ff:ffff:fe03:303, RFC 9164's interface

# (value, its encoding): RFC 9164's examples, RFC 8949's bigfloat, and each tag's rules.
BOTH_WAYS = [
    (ip.IPv4Address("192.0.2.1"), "d83444c0000201"),
    (ip.IPv6Address("2001:db8:1234:deed:beef:cafe:face:feed"), "d8365020010db81234deedbeefcafefacefeed"),
    (ip.IPv6Network("2001:db8:1234::/48"), "d8368218304620010db81234"),
    (ip.IPv4Network("192.0.2.0/24"), "d83482181843c00002"),
    (ip.IPv6Interface("fe80::202:2ff:ffff:fe03:303/64"), "d8368250" + LINK + "1840"),
    (ip.IPv4Interface("192.0.2.1/24"), "d8348244c00002011818"),
    (ip.IPv4Network("0.0.0.0/0"), "d834820040"), (ip.IPv6Network("::/128"), "d83682188040"),
    (ip.IPv4Network("10.0.0.0/7"), "d834820741" "0a"), (ip.IPv4Interface("10.0.0.0/32"), "d83482440a0000001820"),
    (F(1, 3), "d81e820103"), (F(-1, 3), "d81e822003"), (F(5), "d81e820501"),
    (F(2**64, 3), "d81e82c24901000000000000000003"), (F(1, 2**64 + 1), "d81e8201c249010000000000000001"),
    (re.compile("a+b"), "d82363612b62"), (re.compile("(?i)x"), "d82365283f692978"),
    (re.compile("\u00e9", re.UNICODE), "d82362c3a9"),
]
if ZONES:
    BOTH_WAYS += [
        (ip.IPv6Interface("fe80::202:2ff:ffff:fe03:303%42/64"), "d8368350" + LINK + "1840182a"),
        (ip.IPv6Address("fe80::202:2ff:ffff:fe03:303%42"), "d8368350" + LINK + "f6182a"),
        (ip.IPv6Address("fe80::202:2ff:ffff:fe03:303%eth0"), "d8368350" + LINK + "f64465746830"),
        (ip.IPv6Address("fe80::202:2ff:ffff:fe03:303%042"), "d8368350" + LINK + "f643303432"),  # not a plain number
    ]


@pytest.mark.parametrize("value, encoded", BOTH_WAYS, ids=repr)
def test_both_ways(value, encoded):
    for encoder in (Encoder(), Encoder(deterministic=True), Encoder(indefinite=True)):
        assert encoder.encode(value).hex() == encoded
    got = loads(bytes.fromhex(encoded))
    assert type(got) is type(value) and got == value and str(got) == str(value)


# What other encoders write, and the older tags.
READ = [
    ("c5822003", D("1.5")), ("c5820103", D(6)), ("c582213903e7", D("-250")), ("c5822120", D("-0.25")),
    ("c58200c249010000000000000000", D(2**64)), ("c5821980003b7fffffffffffffff", D(-2**63 * 2**32768)),
    ("d81e820204", F(1, 2)),
    ("d823426162", re.compile(b"ab")),
    ("d9010444c0000201", ip.IPv4Address("192.0.2.1")), ("d901045020010db8000000000000000000000001", ip.IPv6Address("2001:db8::1")),
    ("d9010446010203040506", Tag(260, b"\x01\x02\x03\x04\x05\x06")),
    ("d90105a144c00002001818", ip.IPv4Network("192.0.2.0/24")), ("d90105a144c00002011818", ip.IPv4Interface("192.0.2.1/24")),
    ("d8348244c0000201f6", ip.IPv4Address("192.0.2.1")),
    ("d8348344c000020118184465746830", Tag(52, [b"\xc0\x00\x02\x01", 24, b"eth0"])),  # ipaddress: no IPv4 zones
]
if ZONES:
    READ += [("d8368350" + LINK + "f66465746830", ip.IPv6Address("fe80::202:2ff:ffff:fe03:303%eth0"))]  # zone as text


@pytest.mark.parametrize("encoded, expected", READ, ids=repr)
def test_read(encoded, expected):
    got = loads(bytes.fromhex(encoded))
    assert type(got) is type(expected) and got == expected
    if isinstance(expected, D):
        assert got.as_integer_ratio() == expected.as_integer_ratio()


@pytest.mark.parametrize("exponent", [1, 2, 100, 16494, 32768])
def test_bigfloats_are_exact(exponent):
    mantissa = 2**113 - 1  # a binary128 significand
    for e in (exponent, -exponent):
        got = loads(Encoder().encode(Tag(5, [e, mantissa])))
        assert F(got) == F(mantissa) * F(2) ** e


MIME = ["Subject: hi\n\nbody\n", "From: a@example.com\nTo: b@example.com\nContent-Type: text/plain; charset=utf-8\n\n"
        "h\u00e9llo\n", "Content-Type: multipart/mixed; boundary=XX\n\n--XX\n\npart\n--XX--\n"]


@pytest.mark.parametrize("text", MIME)
def test_mime(text):
    message = email.message_from_string(text)
    data = Encoder().encode(message)
    assert data == bytes.fromhex("d824") + dumps(text, indefinite=False)
    got = loads(data)
    assert type(got) is email.message.Message and got.as_string() == text
    policy = email.message.EmailMessage()  # written under its own policy, read back under compat32
    policy["Subject"] = "hi"
    policy.set_content("body")
    assert loads(Encoder().encode(policy)).as_string() == policy.as_string()


# (input, what the message says): content that no form of the tag has.
HOSTILE = [
    ("d83443c00002", "tag 52 content is not an IPv4 address, prefix or interface"),
    ("d83651" + "00" * 17, "tag 54 content is not an IPv6 address"), ("d83480", "tag 52 content is not"),
    ("d8348218214100", "tag 52 content is not"), ("d83482181801", "tag 52 content is not"),  # prefix 33; no bytes
    ("d83682188140", "tag 54 content is not"), ("d83482204100", "tag 52 content is not"),  # prefix 129; -1
    ("d83482084500000000" "01", "tag 52 content is not"),  # 5 bytes
    ("d8348208420a01", "tag 52 prefix has bits set past its prefix length"),
    ("d8348217430a0001", "tag 52 prefix has bits set past its prefix length"),  # a bit at 23 of /23
    ("d834820844" "0a000000", "tag 52 prefix ends in a zero byte"), ("d83482004100", "tag 52 prefix ends in a zero byte"),
    ("d8348243c000021818", "tag 52 content is not"), ("d8368250" + LINK + "1881", "tag 54 content is not"),
    ("d8368350" + LINK + "1840f93c00", "tag 54 content is not"), ("d8368350" + LINK + "1840f6", "tag 54 content is not"),
    ("d8368450" + LINK + "18400101", "tag 54 content is not"), ("d83682183061" "61", "tag 54 content is not"),
    ("d901046161", "tag 260 content is not a byte string"), ("d90105a244c00002001818440a0000001808", "tag 261 content"),
    ("d90105a144c00002001821", "tag 261 content"), ("d90105a143c000021818", "tag 261 content"),
    ("d81e820100", "tag 30 content is not a rational number [numerator, denominator > 0]"),
    ("d81e820120", "tag 30 content"), ("d81e8201c34100", "tag 30 content"), ("d81e8101", "tag 30 content"),
    ("d81e82f93c0001", "tag 30 content"), ("d81e8201f5", "tag 30 content"), ("d81e6131", "tag 30 content"),
    ("c5821b100000000000000001", "tag 5 exponent is outside the range decoded, -32768 to 32768"),
    ("c582398000" "01", "tag 5 exponent is outside"), ("c582198001" "01", "tag 5 exponent is outside"),
    ("c582c249010000000000000000" "01", "tag 5 exponent is outside"), ("c58201f93e00", "tag 5 content is not a bigfloat"),
    ("c58101", "tag 5 content is not a bigfloat [exponent, mantissa]"),
    ("d82301", "tag 35 content is not a text string"), ("d8236128", "tag 35 content is not a regular expression"),
    ("d82441ff", "tag 36 content is not a text string"),
] + [(Encoder().encode(Tag(35, text)).hex(), "tag 35 pattern nests groups deeper than 50") for text in (
    "(" * 51 + ")" * 51, "([)]" * 51 + ")" * 51, "(?#[)" + "(" * 50 + ")" * 50, "[(]" + "(" * 51 + ")" * 51)]
if ZONES:
    HOSTILE += [("d8368350" + LINK + "f641ff", "tag 54 content is not"), ("d8368350" + LINK + "f640", "tag 54 content"),
                ("d8368350" + LINK + "f663612562", "tag 54 content")]  # zone: bad UTF-8, empty, "a%b"


@pytest.mark.parametrize("encoded, message", HOSTILE)
def test_hostile(encoded, message):
    with pytest.raises(CBORDecodeError) as e:
        loads(bytes.fromhex(encoded))
    assert message in str(e.value) and e.value.pos in (0, 1, 2, 3)


def test_patterns_nested_to_the_limit_compile_in_small_stacks():
    out = run("""
        import threading, vantra_cbor
        threading.stack_size(256 * 1024)
        deep = vantra_cbor.Encoder().encode([[vantra_cbor.Tag(35, "(?:" * 50 + "a" + ")" * 50)]] * 3)
        many = vantra_cbor.Encoder().encode(vantra_cbor.Tag(35, "(a)|" * 300 + "[(]"))
        result = []
        t = threading.Thread(target=lambda: result.extend([vantra_cbor.loads(deep), vantra_cbor.loads(many)]))
        t.start()
        t.join()
        print(result[0][2][0].match("a").group(), result[1].groups)
    """)
    assert out == ["a", "300"]


def test_limits_are_edges():
    # Each part of a rational up to 16384 bits; a bigfloat's exponent within 2**15.
    for inside, outside in [([2**16384 - 1, 1], [2**16384, 1]), ([1, 2**16384 - 1], [-1, 2**16384])]:
        assert loads(Encoder().encode(Tag(30, inside))) == F(*inside)
        with pytest.raises(CBORDecodeError, match="^tag 30 numerator or denominator is longer than 16384 bits at byte 2$"):
            loads(Encoder().encode(Tag(30, outside)))
    for inside, outside in [(-2**15, -2**15 - 1), (2**15, 2**15 + 1)]:
        assert F(loads(Encoder().encode(Tag(5, [inside, 3])))) == 3 * F(2) ** inside
        with pytest.raises(CBORDecodeError, match="^tag 5 exponent is outside the range decoded, -32768 to 32768 at byte 1$"):
            loads(Encoder().encode(Tag(5, [outside, 3])))


# cbor2 reads RFC 9164 from 5.5 on; older ones (Python 3.7's) write and read tags 260/261.
CBOR2_RFC9164 = cbor2.loads(bytes.fromhex("d83444c0000201")) == ip.IPv4Address("192.0.2.1")


def networks(version):
    bits = 32 if version == 4 else 128
    return st.tuples(st.ip_addresses(v=version), st.integers(0, bits)).map(
        lambda a: ip.ip_network("%s/%d" % a, strict=False))


def interfaces(version):
    bits = 32 if version == 4 else 128
    return st.tuples(st.ip_addresses(v=version), st.integers(0, bits)).map(lambda a: ip.ip_interface("%s/%d" % a))


agreed = (st.ip_addresses() | networks(4) | networks(6) | interfaces(4) | interfaces(6) | st.fractions()
          | st.fractions().map(lambda f: f * 2**70) | st.sampled_from([re.compile("a+b"), re.compile("(?s)x.y")]))


@pytest.mark.skipif(not CBOR2_RFC9164, reason="this cbor2 writes IP addresses as tags 260 and 261 (read in test_read)")
@settings(max_examples=300, deadline=None)
@given(st.lists(agreed, max_size=4))
def test_agrees_with_cbor2(values):
    assert loads(cbor2.dumps(values)) == values
    ours = Encoder().encode(values)
    assert cbor2.loads(ours) == values and ours == cbor2.dumps(values)


class Float:
    def __float__(self):
        return 0.5


# Numbers by their type only: what their conversions say does not make them numbers.
@pytest.mark.parametrize("value, name", [
    (OnlyIndex(7), "OnlyIndex"), (OnlyInt(7), "OnlyInt"), (Float(), "Float"), (range(3), "range"),
    (np.datetime64("2020-01-01"), "numpy.datetime64"),
], ids=repr)
def test_only_numbers_are_numbers(value, name):
    assert Encoder(default=lambda v: "seen").encode({"k": [value]}) == dumps({"k": ["seen"]}, indefinite=False)
    with pytest.raises(ENCODE_ERRORS[TypeError]) as e:
        Encoder().encode({"k": [value]})
    assert str(e.value) == "cannot encode object of type '%s' at value[\"k\"][0]" % name


@pytest.mark.parametrize("value, encoded", [
    (np.float32(1.5), "f93e00"), (np.int64(-5), "24"), (np.uint64(2**64 - 1), "1bffffffffffffffff"),
    (np.bool_(False), "f4"), (np.float16(-2.0), "f9c000"), (np.longdouble(0.25), "f93400"),
])
def test_numpy_numbers_stay_numbers(value, encoded):
    assert Encoder().encode(value).hex() == dumps(value).hex() == encoded


@dataclasses.dataclass
class Point:
    y: int
    x: typing.Any = None
    limit: typing.ClassVar[int] = 10
    seed: dataclasses.InitVar[int] = 0


class Colour(enum.Enum):
    RED = 1
    PAIR = (1, "a")
    POINT = Point(1, 2)


class Flags(enum.Flag):
    A = 1
    B = 2


@pytest.mark.parametrize("value, encoded, deterministic", [
    (Point(1, 2), "a2617901617802", "a2617802617901"),  # field order; sorted when deterministic
    (Point(1, Point(2)), "a26179016178a26179026178f6", "a26178a26178f6617902617901"),
    ([Colour.RED, Colour.PAIR], "82018201" "6161", None), (Colour.POINT, "a2617901617802", "a2617802617901"),
    (Flags.A | Flags.B, "03", None), ({Colour.RED: Point(3)}, "a101a26179036178f6", "a101a26178f6617903"),
])
def test_dataclasses_and_enums(value, encoded, deterministic):
    assert Encoder().encode(value).hex() == encoded
    if deterministic:
        assert Encoder(deterministic=True).encode(value).hex() == deterministic


@pytest.mark.parametrize("value, message", [
    (Point(Thing()), "cannot encode object of type 'Thing' at value[\"y\"]"),
    ([Point(1, [Thing()])], "cannot encode object of type 'Thing' at value[0][\"x\"][0]"),
    ({1: Point}, "cannot encode object of type 'type' at value[1]"),  # the class is no instance
])
def test_dataclass_errors_name_the_field(value, message):
    with pytest.raises(ENCODE_ERRORS[TypeError]) as e:
        Encoder().encode(value)
    assert str(e.value) == message


def test_dataclasses_count_as_maps_and_end_in_recursion_error():
    doc = Point([Point(1)])
    plain = {"y": [{"y": 1, "x": None}], "x": None}
    for depth in range(1, 5):
        try:
            expected = Encoder(max_depth=depth).encode(plain)
        except RuntimeError as error:
            with pytest.raises(RuntimeError, match="^%s$" % error):
                Encoder(max_depth=depth).encode(doc)
        else:
            assert Encoder(max_depth=depth).encode(doc) == expected
    cyclic = Point(1)
    cyclic.x = cyclic

    class Looped(enum.Enum):
        A = 1

    Looped.A._value_ = Looped.A
    for value in (cyclic, Looped.A):
        with pytest.raises(RecursionError):
            Encoder().encode(value)


class Unfoldable(email.message.Message):
    def as_string(self, *args, **kwargs):
        raise ValueError("cannot fold")


@pytest.mark.parametrize("value, refused", [
    (re.compile("a", re.IGNORECASE), "(flags that its text does not hold"),
    (re.compile("a", re.ASCII), "(flags that its text does not hold"),
    (re.compile("a  # comment )", re.VERBOSE), "(flags that its text does not hold"),
    (re.compile(b"a"), "(a bytes pattern: tag 35 holds text)"),
    (Unfoldable(), "(its as_string() fails: ValueError: cannot fold)"),
] + ([(ip.IPv6Network("fe80::%eth0/64"), "(a network with a zone: RFC 9164 prefixes carry none)")] if ZONES else []))
def test_what_tags_cannot_hold_is_refused(value, refused):
    assert Encoder(default=repr).encode([value]) == dumps([repr(value)], indefinite=False)
    with pytest.raises(ENCODE_ERRORS[TypeError]) as e:
        Encoder().encode([value])
    assert refused in str(e.value) and str(e.value).endswith(" at value[0]")


class Unset(dt.tzinfo):
    def utcoffset(self, when):
        return None


@pytest.mark.parametrize("encoder, value, encoded", [
    (Encoder(timezone=UTC), dt.datetime(2013, 3, 21, 20, 4), "c074" + b"2013-03-21T20:04:00Z".hex()),
    (Encoder(timezone=tz(-5, -30)), dt.datetime(2013, 3, 21, 20, 4), "c07819" + b"2013-03-21T20:04:00-05:30".hex()),
    (Encoder(timezone=tz(1)), dt.datetime(2013, 3, 21, 20, 4, tzinfo=UTC), "c074" + b"2013-03-21T20:04:00Z".hex()),
    (Encoder(timezone=tz(1), datetime_as="epoch"), dt.datetime(2013, 3, 21, 21, 4), "c11a514b67b0"),
    (Encoder(timezone=UTC), dt.datetime(2013, 3, 21, 20, 4, tzinfo=Unset()), "c074" + b"2013-03-21T20:04:00Z".hex()),
    (Encoder(timezone=tz(2)), dt.date(1940, 10, 9), "d903ec6a" + b"1940-10-09".hex()),
])
def test_timezone_for_naive_datetimes(encoder, value, encoded):
    assert encoder.encode(value).hex() == encoded


def test_a_timezone_without_an_offset_is_refused():
    with pytest.raises(ENCODE_ERRORS[ValueError]) as e:
        Encoder(timezone=Unset()).encode([dt.datetime(2020, 1, 1)])
    assert str(e.value) == "cannot encode a naive datetime at value[0]: the timezone option gives it no UTC offset"


# RFC 8949's keys in its two orders (sections 4.2.1 and 4.2.3).
KEYS = {10: "0a", 100: "1864", -1: "20", "z": "617a", "aa": "626161", (100,): "811864", (-1,): "8120", False: "f4"}


@pytest.mark.parametrize("deterministic, order", [
    (True, [10, 100, -1, "z", "aa", (100,), (-1,), False]),
    ("length-first", [10, -1, False, 100, "z", (-1,), "aa", (100,)]),
])
def test_key_orders(deterministic, order):
    encoder = Encoder(deterministic=deterministic)
    assert encoder.encode(dict.fromkeys(KEYS, 0)).hex() == "a8" + "".join(KEYS[k] + "00" for k in order)
    assert encoder.encode(set(KEYS) - {False}).hex() == "d9010287" + "".join(KEYS[k] for k in order if k is not False)


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(st.integers() | st.text(max_size=30) | st.binary(max_size=30), st.integers(), max_size=20))
def test_length_first_agrees_with_cbor2_canonical(d):
    assert Encoder(deterministic="length-first").encode(d) == cbor2.dumps(d, canonical=True)


@pytest.mark.parametrize("options", [{"value_sharing": True}, {"string_referencing": True},
                                     {"value_sharing": True, "string_referencing": True}], ids=str)
def test_with_shared_values_and_string_references(options):
    # Every string these tags hold takes its place in the string table; shared objects stay one.
    zoned = [ip.IPv6Address("fe80::1%eth0"), ip.IPv6Interface("fe80::1%eth0/64")] if ZONES else []
    values = [ip.IPv6Address("2001:db8::1"), ip.IPv4Network("192.0.2.0/24"), re.compile("a+b"), F(1, 3),
              ip.IPv6Address("2001:db8::1")] + zoned  # equal to the first, another object
    doc = [values, values[:], [email.message_from_string(MIME[0])] * 2, [Colour.PAIR, Point(1, "2001")] * 2]
    data = Encoder(**options).encode(doc)
    assert (b"\xd8\x19" in data) == options.get("string_referencing", False)  # tag 25 references
    got = loads(data)
    assert got[:2] == [values, values] and got[3] == [[1, "a"], {"y": 1, "x": "2001"}] * 2
    assert [m.as_string() for m in got[2]] == [MIME[0]] * 2
    if CBOR2_RFC9164:
        assert cbor2.loads(Encoder(**options).encode(doc[:2])) == doc[:2]
    if options.get("value_sharing"):
        assert got[0] is not got[1] and got[0][0] is got[1][0] and got[2][0] is got[2][1]
        cyclic = Point(1)
        cyclic.x = [cyclic]
        back = loads(Encoder(**options).encode(cyclic))
        assert back["x"][0] is back
