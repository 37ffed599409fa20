"""The codec's scan for where an item ends (cbor_scan_*), through ctypes: well-formed items in
any split, malformed ones at the head at fault, the size and depth limits, and a reader that
reads only what the scan says it needs."""
import io

import pytest
from hypothesis import given, settings, strategies as st

from codec import SCAN_DONE, SCAN_MALFORMED, SCAN_MORE, SCAN_TOO_DEEP, SCAN_TOO_LARGE, Scanner
from vantra_cbor import CBORDecodeEOF, CBORDecodeError, dumps, loads

# Each one well-formed item (most from RFC 8949 appendix A).
WELL_FORMED = [
    "00", "17", "1818", "1bffffffffffffffff", "3903e7", "3bffffffffffffffff", "f93c00",
    "fa47c35000", "fb3ff199999999999a", "f4", "f7", "f0", "f820", "f8ff",
    "c074323031332d30332d32315432303a30343a30305a", "c1c2c300", "d9d9f7a0", "db000000010000000000",
    "40", "4401020304", "5803010203", "60", "6449455446", "7a00000001ff",
    "80", "83010203", "8301820203820405", "98190102030405060708090a0b0c0d0e0f101112131415161718181819",
    "a0", "a201020304", "a26161016162820203", "826161a161626163", "a1a0a0", "b90001c000c101",
    "5f42010243030405ff", "5fff", "5f40ff", "7f657374726561646d696e67ff", "7fff", "9fff",
    "9f018202039f0405ffff", "9f01820203820405ff", "83018202039f0405ff", "83019f0203ff820405",
    "bf61610161629f0203ffff", "826161bf61626163ff", "bf6346756ef563416d7421ff", "bf9fff9fffff",
    "9fc15f41ffffff", "81818181818100",
]

# Malformed: the offset of the head at fault, which loads reports as pos too.
MALFORMED = [
    ("1c", 0), ("3d", 0), ("5e", 0), ("7c", 0), ("9d", 0), ("be", 0), ("dc", 0), ("fc", 0), ("fe", 0),
    ("1f", 0), ("3f", 0), ("df", 0),  # indefinite integers and tags
    ("ff", 0), ("8201ff", 2), ("bf01ff", 2), ("9fc1ff", 2), ("c1ff", 1), ("a1ff00", 1),  # stray breaks
    ("5f01ff", 1), ("5f6161ff", 1), ("5f5fffff", 1), ("7f4161ff", 1), ("7fc06161ff", 1), ("5f4101c0ff", 3),
    ("f800", 0), ("f81f", 0), ("9f1c", 1), ("a101fd", 2), ("8383010203f800", 5),
]


def scan_pieces(pieces, **limits):
    """Feeds the pieces in turn: the last status and the bytes taken in all."""
    taken = 0
    with Scanner(**limits) as s:
        for piece in pieces:
            status, used = s.feed(piece)
            taken += used
            if status != SCAN_MORE:
                return status, taken, s.state.error_offset
            assert used == len(piece)
        return status, taken, None


def splits(data):
    """data whole, cut in two at every point, and one byte at a time."""
    yield [data]
    for cut in range(1, len(data)):
        yield [data[:cut], data[cut:]]
    yield [data[i:i + 1] for i in range(len(data))]


@pytest.mark.parametrize("hexdata", WELL_FORMED)
def test_well_formed_items_end_where_they_end(hexdata):
    data = bytes.fromhex(hexdata)
    for pieces in splits(data + b"\x01\x02"):  # the next item's bytes stay untaken
        assert scan_pieces(pieces) == (SCAN_DONE, len(data), 0)


@pytest.mark.parametrize("hexdata", WELL_FORMED)
def test_reading_what_is_needed_stops_at_the_end(hexdata):
    # A reader of an unbuffered stream reads exactly `need` bytes each time.
    data = bytes.fromhex(hexdata)
    stream = io.BytesIO(data + b"\x00")
    with Scanner() as s:
        need, status = 1, SCAN_MORE
        while status == SCAN_MORE:
            assert 1 <= need <= len(data) - stream.tell()
            piece = stream.read(need)
            status, used = s.feed(piece)
            assert used == len(piece)
            need = s.state.need
        assert status == SCAN_DONE and stream.tell() == len(data) == s.state.size


@pytest.mark.parametrize("hexdata, offset", MALFORMED)
def test_malformed_at_the_head_at_fault(hexdata, offset):
    data = bytes.fromhex(hexdata)
    ai = data[offset] & 0x1F
    head = 1 + (1 << (ai - 24) if 24 <= ai <= 27 else 0)
    for pieces in splits(data):
        # Taken: up to the end of the head at fault.
        assert scan_pieces(pieces) == (SCAN_MALFORMED, offset + head, offset)
    # The decoder agrees on where, and that it is no truncation.
    with pytest.raises(CBORDecodeError) as e:
        loads(data)
    assert not isinstance(e.value, CBORDecodeEOF) and e.value.pos == offset


@pytest.mark.parametrize("hexdata", WELL_FORMED)
def test_max_size_boundary(hexdata):
    data = bytes.fromhex(hexdata)
    for pieces in splits(data):
        assert scan_pieces(pieces, max_size=len(data))[:2] == (SCAN_DONE, len(data))
        if len(data) > 1:  # (0 is no limit) one byte less is refused, never asked for
            assert scan_pieces(pieces, max_size=len(data) - 1)[0] == SCAN_TOO_LARGE


@pytest.mark.parametrize("hexdata, max_size, offset", [
    ("43010203", 3, 0), ("83010203", 3, 0), ("a2010203", 4, 0), ("9f010203ff", 4, 4),
    ("1a00010000", 4, 0), ("5b7fffffffffffffff", 2**20, 0), ("bb7fffffffffffffff", 2**20, 0),
    ("825f41014102ff", 6, 6), ("8261616261", 4, 3),
])
def test_declared_or_reached_size(hexdata, max_size, offset):
    # Declared lengths and counts are refused at their head, before their bytes come.
    data = bytes.fromhex(hexdata)
    for pieces in splits(data):
        status, taken, at = scan_pieces(pieces, max_size=max_size)
        assert (status, at) == (SCAN_TOO_LARGE, offset) and taken <= max_size


@pytest.mark.parametrize("hexdata, need", [
    ("5bffffffffffffffff", 2**64 - 1), ("7bfffffffffffffffe", 2**64 - 2), ("bbffffffffffffffff", 1),
    ("9bffffffffffffffff", 1), ("825bfffffffffffffffe", 2**64 - 2), ("c35a80000000", 2**31),
])
def test_no_limit_waits_for_any_declared_length(hexdata, need):
    data = bytes.fromhex(hexdata)
    for pieces in splits(data):
        with Scanner() as s:
            statuses = [s.feed(piece) for piece in pieces]
            assert statuses[-1] == (SCAN_MORE, len(pieces[-1])) and s.state.need == need


@pytest.mark.parametrize("hexdata", WELL_FORMED + ["818181818181818100", "9f9f9f9f80ffffffff", "a101a101a101818101"])
@pytest.mark.parametrize("max_depth", [1, 2, 3, 5])
def test_max_depth_as_the_decoder_counts_it(hexdata, max_depth):
    data = bytes.fromhex(hexdata)
    try:
        loads(data, max_depth=max_depth)
        error = None
    except CBORDecodeError as e:
        error = e
    for pieces in splits(data):
        status, _, at = scan_pieces(pieces, max_depth=max_depth)
        if error is None:
            assert status == SCAN_DONE
        elif "max_depth" in str(error):
            assert (status, at) == (SCAN_TOO_DEEP, error.pos)
        else:  # invalid before any nesting that deep (a map as a map key, say)
            assert status == SCAN_DONE or (status == SCAN_TOO_DEEP and at > error.pos)


def test_state_bounded_by_depth():
    flat = dumps(list(range(100000)), indefinite=False)
    deep = b"\x9f" * 1000 + b"\xff" * 1000
    with Scanner() as s:
        first = s.state.capacity
        for i in range(0, len(flat), 7):
            status, _ = s.feed(flat[i:i + 7])
        assert status == SCAN_DONE and s.state.capacity == first  # no growth for width
        assert s.feed(deep) == (SCAN_DONE, len(deep)) and s.state.capacity >= 1000


def test_items_in_turn_and_sticky_errors():
    with Scanner() as s:
        assert s.feed(b"\x01\x82\x02") == (SCAN_DONE, 1)
        assert s.feed(b"\x82\x02") == (SCAN_MORE, 2)  # the next item, started by the call after DONE
        assert s.feed(b"\x03\x04") == (SCAN_DONE, 1) and s.state.size == 3
        assert s.feed(b"\xff\x00") == (SCAN_MALFORMED, 1)
        assert s.feed(b"\x00") == (SCAN_MALFORMED, 0)  # until reset
        s.reset()
        assert s.feed(b"\x00") == (SCAN_DONE, 1)


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=40), st.integers(0, 40))
def test_agrees_with_loads(data, cut):
    # Whatever the bytes, the scan's verdict is the decoder's: a complete item decodes (or
    # fails for what lies past well-formedness), a malformed one fails there, not as a
    # truncation, and input that the scan wants more of is truncated for loads.
    status, taken, at = scan_pieces([data[:cut], data[cut:]])
    try:
        loads(data[:taken])
        verdict = None
    except RecursionError:
        return
    except CBORDecodeError as e:
        verdict = e
    if status == SCAN_DONE:
        assert not isinstance(verdict, CBORDecodeEOF)
    elif status == SCAN_MALFORMED:
        # (or a truncation at an earlier head, whose count cannot fit in the bytes taken)
        assert isinstance(verdict, CBORDecodeError)
        assert verdict.pos < at if isinstance(verdict, CBORDecodeEOF) else verdict.pos <= at
    else:
        assert status == SCAN_MORE and taken == len(data) and isinstance(verdict, CBORDecodeError)
