"""CBOR sequences: iter_loads over buffers, load and iter_load over files, pipes and sockets,
StreamDecoder over bytes fed in pieces; all of them agree with each other and with loads."""
import array
import gc
import io
import json
import math
import os
import socket
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import example, given, settings, strategies as st

from vantra_cbor import (CBORDecodeEOF, CBORDecodeError, StreamDecoder, Tag, dumps, iter_load, iter_loads, load,
                         loads)

class Raw(bytes):
    """An item given by its encoding."""


HEX_ITEMS = ["5f42010243030405ff", "7f657374726561646d696e67ff", "bf61610161629f0203ffff", "c11a514b67b0",
             "d863820102", "f97e00", "fb3ff199999999999a", "1bffffffffffffffff", "c249010000000000000000"]
SEQUENCES = [
    [],
    [0],
    [{"a": [1, 2.5]}],
    [1, [2, 3], "abc", b"\x00\xff", None, True, False, -7, 1.5, {"k": {"n": [[], {}]}}, "h\u00e9llo" * 20],
    [Raw(bytes.fromhex(h)) for h in HEX_ITEMS],
    [list(range(1000)), "x" * 70000, b"y" * 300],
]


def encode(item):
    return bytes(item) if isinstance(item, Raw) else dumps(item)


def plain(value):
    """A form in which equal decodings compare equal, NaN and types included."""
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else repr(value))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [plain(v) for v in value])
    if isinstance(value, dict):
        return ("dict", [(plain(k), plain(v)) for k, v in value.items()])
    if isinstance(value, Tag):
        return ("tag", value.tag, plain(value.value))
    return (type(value).__name__, value)


def expected(seq):
    data = b"".join(encode(item) for item in seq)
    ends, at = [], 0
    for item in seq:
        at += len(encode(item))
        ends.append(at)
    return data, [plain(loads(encode(item))) for item in seq], ends


def drain(iterator):
    """The items an iterator yields, and the error that ends it (None for a clean end)."""
    items = []
    try:
        for item in iterator:
            items.append(plain(item))
    except (CBORDecodeError, RecursionError) as e:
        return items, e
    return items, None


def stream(pieces, **options):
    """Feeds the pieces to a StreamDecoder, iterating after each: items, error, decoder."""
    decoder = StreamDecoder(**options)
    items = []
    try:
        for piece in pieces:
            decoder.feed(piece)
            items.extend(plain(item) for item in decoder)
    except (CBORDecodeError, RecursionError) as e:
        return items, e, decoder
    return items, None, decoder


def cuts(data):
    yield [data]
    yield [data[i:i + 1] for i in range(len(data))]
    for cut in range(1, len(data)) if len(data) < 300 else range(1, len(data), 97):
        yield [data[:cut], data[cut:]]


class ReadOnly:
    """A reader with only read(n), which like a pipe returns fewer bytes than asked for."""

    def __init__(self, data, most=3):
        self.file, self.most = io.BytesIO(data), most

    def read(self, n):
        return self.file.read(min(n, self.most))


class ReadintoOnly:
    def __init__(self, data):
        self.file = io.BytesIO(data)

    def readinto(self, buffer):
        return self.file.readinto(memoryview(buffer)[:2])


FILES = {
    "BytesIO": io.BytesIO,
    "BufferedReader": lambda data: io.BufferedReader(io.BytesIO(data), buffer_size=16),
    "read(n) only": ReadOnly,
    "readinto only": ReadintoOnly,
}


def position(fp):
    return getattr(fp, "file", fp).tell()


@pytest.mark.parametrize("seq", SEQUENCES, ids=lambda seq: "%d items" % len(seq))
def test_every_reader_yields_the_items(seq):
    data, items, ends = expected(seq)
    for buffer in (data, bytearray(data), memoryview(data), array.array("B", data)):
        assert drain(iter_loads(buffer)) == (items, None)
    for make in FILES.values():
        assert drain(iter_load(make(data))) == (items, None)
        fp = make(data)
        for item, end in zip(items, ends):
            assert plain(load(fp)) == item and position(fp) == end  # nothing read past the item
        with pytest.raises(CBORDecodeEOF):
            load(fp)
    for pieces in cuts(data):
        items_fed, error, decoder = stream(pieces)
        assert (items_fed, error, decoder.pending) == (items, None, 0)


THREE = dumps([1, "two", {"three": 3.5}]) + dumps("x" * 30) + dumps({"k": [None, -1]})


@pytest.mark.parametrize("cut", range(len(THREE) + 1))
def test_sequence_cut_at_every_offset(cut):
    data, items, ends = expected([[1, "two", {"three": 3.5}], "x" * 30, {"k": [None, -1]}])
    complete = sum(end <= cut for end in ends)
    start = ends[complete - 1] if complete else 0
    for got in (drain(iter_loads(data[:cut])), drain(iter_load(io.BytesIO(data[:cut]))),
                drain(iter_load(ReadOnly(data[:cut])))):
        assert got[0] == items[:complete]
        if cut == start:
            assert got[1] is None  # a clean end between items
        else:
            assert isinstance(got[1], CBORDecodeEOF) and start <= got[1].pos <= cut
    items_fed, error, decoder = stream([data[:cut]])
    assert (items_fed, error, decoder.pending) == (items[:complete], None, cut - start)


# (hex of the items before, hex of the corrupt item, offset of the fault within it)
CORRUPT = [
    ("", "ff", 0), ("01", "8301ff03", 2), ("0102", "bf01ff", 2), ("6161", "5f01ff", 1),
    ("83010203", "1c", 0), ("a0", "f80a", 0), ("00", "9f8201ff", 3), ("40", "7f4161ff", 1), ("", "c1ff", 1),
    ("01", "8301ff", 2), ("", "831c", 1), ("", "83ff", 1), ("02", "a2ff", 1), ("", "821c", 1),
]


@pytest.mark.parametrize("tail", [dumps([1, 2]), b""], ids=["item after", "at the end"])
@pytest.mark.parametrize("before, corrupt, offset", CORRUPT)
def test_corrupt_input_at_its_absolute_offset(before, corrupt, offset, tail):
    head = bytes.fromhex(before)
    data = head + bytes.fromhex(corrupt) + tail  # good items after it are never reached
    pos = len(head) + offset
    items = [plain(item) for item in iter_loads(head)]
    results = [drain(iter_loads(data)), drain(iter_load(io.BytesIO(data))), drain(iter_load(ReadOnly(data)))]
    results += [stream(pieces)[:2] for pieces in cuts(data)]
    for got, error in results:
        assert got == items
        assert type(error) is CBORDecodeError and error.pos == pos, error
    # Long after the stream began, and with its buffer moved down many times.
    prefix = b"".join(dumps(i) for i in range(3000))
    got, error, decoder = stream([(prefix + data)[i:i + 7] for i in range(0, len(prefix + data), 7)])
    assert len(got) == 3000 + len(items) and error.pos == len(prefix) + pos
    for call in (lambda: decoder.feed(b"\x00"), lambda: next(decoder)):
        with pytest.raises(CBORDecodeError, match="decodes no more after the error at byte %d" % error.pos) as e:
            call()
        assert e.value.pos == error.pos


@pytest.mark.parametrize("data, max_item_size, error", [
    ("43010203", 4, None), ("43010203", 3, 0), ("9f010203ff", 5, None), ("9f010203ff", 4, 0),
    ("01" + "5b7fffffffffffffff", 2**20, 1),  # refused on its head, before any content
    ("01" + "9b0000000100000000", 2**20, 1), ("01" + "bb0000000100000000", 2**20, 1),
    ("5a00100000", 0, None),  # no limit: held, waiting for the rest
])
def test_max_item_size(data, max_item_size, error):
    data = bytes.fromhex(data)
    for pieces in cuts(data):
        got, raised, decoder = stream(pieces, max_item_size=max_item_size)
        if error is None:
            assert raised is None
        else:
            assert type(raised) is CBORDecodeError and raised.pos == error
            assert "larger than max_item_size (%d bytes)" % max_item_size in str(raised)
            assert decoder.pending == 0  # none of it is held


def test_max_item_size_holds_no_more_than_the_limit():
    decoder = StreamDecoder(max_item_size=1000)
    decoder.feed(b"\x9f")
    for _ in range(998):
        decoder.feed(b"\x00")
        assert decoder.pending <= 1000 and list(decoder) == []
    with pytest.raises(CBORDecodeError, match="larger than max_item_size"):
        decoder.feed(b"\x00")
        next(decoder)


@pytest.mark.parametrize("make, message", [
    (lambda: StreamDecoder(max_item_size=-1), "max_item_size must be from 0"),
    (lambda: StreamDecoder(max_item_size="1"), "max_item_size must be an int"),
    (lambda: StreamDecoder(max_item_size=True), "max_item_size must be an int"),
    (lambda: StreamDecoder(64), "takes no positional arguments"),
    (lambda: StreamDecoder(size=1), "unexpected keyword argument 'size'"),
    (lambda: StreamDecoder(max_depth="deep"), "max_depth must be an int"),
    (lambda: iter_loads(b"", tag_hook=1), "tag_hook must be callable"),
    (lambda: iter_loads(b"", b""), "takes 1 positional argument"),
    (lambda: iter_loads(), "missing required argument 'data'"),
    (lambda: iter_loads("text"), "bytes-like"),
    (lambda: iter_load(io.BytesIO(), colour=1), "unexpected keyword argument 'colour'"),
    (lambda: iter_load(object()), "has neither read\\(\\) nor readinto\\(\\)"),
    (lambda: load(io.BytesIO(), fp=io.BytesIO()), "multiple values for argument 'fp'"),
    (lambda: load(io.StringIO("x")), "binary mode"),
    (lambda: StreamDecoder().feed("text"), "bytes-like"),
])
def test_bad_arguments(make, message):
    with pytest.raises((TypeError, ValueError), match=message):
        make()


def test_options_reach_the_decoder():
    tagged = bytes.fromhex("d86301")
    data = dumps([[1]]) + tagged
    hook = lambda tag, value: ("tag", tag, value)  # noqa: E731
    want = [[[1]], ("tag", 99, 1)]
    assert list(iter_loads(data, tag_hook=hook)) == want
    assert list(iter_load(io.BytesIO(data), tag_hook=hook)) == want
    assert stream([data], tag_hook=hook)[0] == [plain(v) for v in want]
    assert load(io.BytesIO(tagged), tag_hook=hook) == ("tag", 99, 1)
    # Options added to loads come through every reader.
    duplicate = bytes.fromhex("a201010102")
    mixed = dumps({"a": 1}) + bytes.fromhex("62c328") + duplicate
    options = dict(object_hook=len, str_errors="replace", allow_duplicate_keys=False)
    for items, error in (drain(iter_loads(mixed, **options)), drain(iter_load(io.BytesIO(mixed), **options)),
                         stream([mixed], **options)[:2]):
        assert items == [plain(1), plain("\ufffd(")]
        assert "duplicate map key" in str(error) and error.pos == len(mixed) - len(duplicate) + 3
    with pytest.raises(CBORDecodeError, match="duplicate map key at byte 3"):
        load(io.BytesIO(duplicate), **options)
    # max_depth: the decoder's error, from every reader, at the same place.
    errors = [drain(iter_loads(data, max_depth=1))[1], drain(iter_load(io.BytesIO(data), max_depth=1))[1],
              stream([data], max_depth=1)[1]]
    with pytest.raises(CBORDecodeError) as e:
        load(io.BytesIO(data), max_depth=1)
    for error in errors + [e.value]:
        assert type(error) is CBORDecodeError and error.pos == 2 and "max_depth=1" in str(error)


def test_nesting_past_the_interpreter():
    # The stream readers hold such an item until it completes (or is malformed), and the
    # decoder refuses it as loads does.
    data = b"\x81" * 100000 + b"\x00"
    assert isinstance(drain(iter_loads(data))[1], RecursionError)
    assert isinstance(drain(iter_load(io.BufferedReader(io.BytesIO(data))))[1], RecursionError)
    got, error, decoder = stream([data[i:i + 4096] for i in range(0, len(data), 4096)])
    assert got == [] and isinstance(error, RecursionError)


@settings(max_examples=200, deadline=None)
@given(st.lists(st.recursive(st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.floats() | st.text()
                             | st.binary(), lambda inner: st.lists(inner) | st.dictionaries(st.text(), inner),
                             max_leaves=8), max_size=6),
       st.lists(st.integers(0, 200), max_size=6), st.booleans())
def test_stream_decoder_agrees_with_iter_loads(values, cut_points, indefinite):
    data = b"".join(dumps(v, indefinite=indefinite) for v in values)
    points = sorted({min(c, len(data)) for c in cut_points} | {0, len(data)})
    pieces = [data[a:b] for a, b in zip(points, points[1:])]
    got, error, decoder = stream(pieces)
    assert (got, error, decoder.pending) == (drain(iter_loads(data)) + (0,))
    assert len(got) == len(values)


# The scan's own words, used where the decoder stopped short of the malformed head.
SCAN_REASONS = ("reserved additional information (28-30)", "an integer with an indefinite length",
                "a tag with an indefinite length", "a chunk of an indefinite-length string",
                "a simple value below 32", "a break ")


def check_agreement(data, pieces):
    """StreamDecoder fed the pieces (iterating after each) against iter_loads(data)."""
    got, error, decoder = stream(pieces, max_item_size=0)
    items, want = drain(iter_loads(data))
    assert got == items
    if isinstance(error, RecursionError) or isinstance(want, RecursionError):
        return
    if error is None:
        # A clean end, or a tail that the stream waits on and the decoder reports an
        # error in (a truncation, or an invalid item cut short).
        assert (want is None) == (decoder.pending == 0)
    elif type(error) is CBORDecodeError and str(error).startswith(SCAN_REASONS):
        # Malformed, where the decoder may have raised an error earlier (never a
        # truncation: bytes that cannot complete an item are no EOF).
        assert type(want) is CBORDecodeError and want.pos <= error.pos
    else:
        assert (type(error), error.pos, str(error)) == (type(want), want.pos, str(want))


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=60), st.lists(st.integers(0, 60), max_size=4))
@example(bytes.fromhex("018301ff"), [2])  # a count too large for what follows, which is malformed
@example(bytes.fromhex("a2ff"), [])
def test_stream_decoder_agrees_on_any_bytes(data, cut_points):
    points = sorted({min(c, len(data)) for c in cut_points} | {0, len(data)})
    check_agreement(data, [data[a:b] for a, b in zip(points, points[1:])])
    check_agreement(data, [data])


# ---- Files that do not end: pipes and sockets ------------------------------------------------

def pipe_channel():
    r, w = os.pipe()
    return r, (lambda data: os.write(w, data)), (lambda: os.close(w))


def socket_channel():
    ours, theirs = socket.socketpair()
    ours.settimeout(20)  # a read that should not block fails the test instead of hanging it
    return ours, theirs.sendall, theirs.close


@pytest.mark.parametrize("channel", ["pipe", "socket"])
@pytest.mark.parametrize("buffered", [False, True], ids=["unbuffered", "buffered"])
def test_load_returns_each_item_without_waiting_for_the_next(channel, buffered):
    end, send, close = pipe_channel() if channel == "pipe" else socket_channel()
    if channel == "pipe":
        fp = os.fdopen(end, "rb", buffering=-1 if buffered else 0)
    else:
        fp = end.makefile("rb", buffering=-1 if buffered else 0)
    items = [{"id": 1, "body": "x" * 300}, [2, 3.5], "three"]
    returned = [threading.Event() for _ in items]
    failures = []

    def writer():
        # Each item in pieces, the next only once the reader has returned this one:
        # a load that waited for bytes past its item would never return.
        try:
            for item, done in zip(items, returned):
                encoded = dumps(item)
                for i in range(0, len(encoded), 5):
                    send(encoded[i:i + 5])
                if not done.wait(20):
                    failures.append("load did not return %r before the next item was sent" % (item,))
                    return
            send(b"\x01\x02")  # then two more, read by hand below
        finally:
            close()

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        for item, done in zip(items, returned):
            assert load(fp) == item
            done.set()
        assert fp.read() == b"\x01\x02"  # nothing past the items was taken
    finally:
        thread.join()
        fp.close()
        if channel == "socket":
            end.close()
    assert failures == []


def test_peek_reads_heads_without_a_call_per_byte():
    class Counting(io.BufferedReader):
        calls = 0

        def peek(self, n=0):
            Counting.calls += 1
            return super().peek(n)

        def read(self, n=-1):
            Counting.calls += 1
            return super().read(n)

    items = [{"name": "n%d" % i, "values": list(range(20))} for i in range(50)]
    fp = Counting(io.BytesIO(b"".join(map(dumps, items))), buffer_size=1 << 16)
    assert list(iter_load(fp)) == items
    assert Counting.calls <= 2 * len(items) + 2  # a peek and a read per item


# ---- Holding what they read --------------------------------------------------------------------

def test_iter_loads_holds_its_buffer():
    data = bytearray(dumps(1) + dumps(2))
    items = iter_loads(data)
    assert next(items) == 1
    with pytest.raises(BufferError):
        data.extend(b"\x03")  # cannot move under the iterator
    view = memoryview(data)
    views = iter_loads(view)
    with pytest.raises(BufferError):
        view.release()
    assert list(items) == [2] and list(views) == [1, 2]
    view.release()  # released once the items are over
    data.extend(b"\x03")


def test_iter_load_over_a_file_closed_midway():
    fp = io.BufferedReader(io.BytesIO(dumps(1) + dumps(2)))
    items = iter_load(fp)
    assert next(items) == 1
    fp.close()
    with pytest.raises(ValueError, match="closed"):
        next(items)
    assert list(items) == []  # nothing after an error


@pytest.mark.parametrize("make", [
    lambda hook: iter_loads(bytes.fromhex("d86301d86302"), tag_hook=hook),
    lambda hook: iter_load(io.BytesIO(bytes.fromhex("d86301d86302")), tag_hook=hook),
])
def test_reentrant_iteration_is_refused(make):
    def hook(tag, value):
        return next(iterator)

    iterator = make(hook)
    with pytest.raises(RuntimeError, match="already decoding an item"):
        next(iterator)


def test_stream_decoder_fed_while_it_decodes():
    # Bytes fed from a hook go after those held, and are decoded in their turn.
    decoder = StreamDecoder(tag_hook=lambda tag, value: (decoder.feed(dumps([value])), value)[1])
    decoder.feed(bytes.fromhex("d86301d86302"))
    assert list(decoder) == [1, 2, [1], [2]] and decoder.pending == 0
    with pytest.raises(RuntimeError, match="already decoding"):
        hooked = StreamDecoder(tag_hook=lambda tag, value: next(hooked))
        hooked.feed(bytes.fromhex("d8630102"))
        next(hooked)


def test_stream_decoder_goes_on_after_an_item_it_cannot_decode():
    decoder = StreamDecoder()
    decoder.feed(dumps(1) + bytes.fromhex("62c328") + dumps(2))  # invalid UTF-8 in the second
    assert next(decoder) == 1
    with pytest.raises(CBORDecodeError, match="invalid UTF-8 in text string at byte 1") as e:
        next(decoder)
    assert type(e.value) is CBORDecodeError and e.value.pos == 1
    assert list(decoder) == [2] and decoder.pending == 0


@pytest.mark.parametrize("make", [
    lambda hook: StreamDecoder(tag_hook=hook),
    lambda hook: iter_loads(b"\x01", tag_hook=hook),
    lambda hook: iter_load(io.BytesIO(b"\x01"), tag_hook=hook),
])
def test_cycles_through_hooks_are_collected(make):
    freed = []

    class Owner:
        def hook(self, tag, value):
            return value

        def __del__(self):
            freed.append(True)

    owner = Owner()
    owner.reader = make(owner.hook)
    del owner
    gc.collect()
    assert freed == [True]


LEAK_RUN = """
import gc, io, json, sys
from vantra_cbor import CBORDecodeError, StreamDecoder, dumps, iter_load, iter_loads, load
good = b"".join(dumps(x) for x in ([1, "two"], {"k": b"v" * 100}, "x" * 5000))
inputs = [good, good[:-3], good + b"\\xff", good + b"\\x62\\xc3\\x28", good + b"\\x9f" * 50, b""]
hook = lambda tag, value: value

def run(times):
    for _ in range(times):
        for data in inputs:
            for make in (lambda: iter_loads(data, tag_hook=hook), lambda: iter_load(io.BytesIO(data)),
                         lambda: iter_load(io.BufferedReader(io.BytesIO(data), 64))):
                try:
                    list(make())
                except CBORDecodeError:
                    pass
            d = StreamDecoder(max_item_size=4000, tag_hook=hook)
            for i in range(0, len(data), 100):
                try:
                    d.feed(data[i:i + 100])
                    list(d)
                except CBORDecodeError:
                    pass
            try:
                load(io.BytesIO(data))
            except CBORDecodeError:
                pass

def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096

run(200)
gc.collect()
refs = [sys.getrefcount(x) for x in inputs + [hook]]
before = rss()
run(3000)
gc.collect()
print(json.dumps({"growth": rss() - before, "refs": refs, "after": [sys.getrefcount(x) for x in inputs + [hook]]}))
"""


@pytest.mark.skipif(sys.platform != "linux", reason="the resident size is read from /proc")
def test_memory_and_references_stay_flat():
    env = dict(os.environ)
    if "asan" in env.get("LD_PRELOAD", ""):
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64"
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(LEAK_RUN)], capture_output=True, text=True,
                         timeout=900, env=env)
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    assert result["after"] == result["refs"]
    assert result["growth"] < 4 * 1024 * 1024, result["growth"]
