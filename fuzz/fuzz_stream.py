#!/usr/bin/env python3
"""Fuzzes the sequence readers: StreamDecoder fed the input in random pieces, and
iter_load over a reader that returns it in those pieces, against iter_loads.

The first byte picks the cuts (and, with its top bit, a small max_item_size); the rest
is the CBOR sequence. Every reader must yield the items iter_loads yields, then end
or fail as it does (the rules in check()); anything else, a crash, or a sanitizer
report is a finding. iter_loads reads the input from a malloc block of its exact
size, so that a read past it is reported.
"""
import ctypes as C
import io
import random
import sys

import atheris

from vantra_cbor import CBORDecodeEOF, CBORDecodeError, StreamDecoder, iter_load, iter_loads, load

from fuzz_loads import plain  # one form of a decoded value for every harness

libc = C.CDLL(None)
libc.malloc.restype = C.c_void_p
libc.malloc.argtypes = [C.c_size_t]
libc.free.argtypes = [C.c_void_p]

SMALL_LIMIT = 48


class Finding(AssertionError):
    """What the fuzzer should stop on."""


def drain(iterator):
    items = []
    try:
        for item in iterator:
            items.append(plain(item))
    except (CBORDecodeError, RecursionError) as e:
        return items, e
    return items, None


def buffer_items(data):
    """iter_loads over the bytes in a malloc block of their exact size."""
    n = len(data)
    buf = libc.malloc(n or 1)
    if not buf:
        raise MemoryError()
    try:
        C.memmove(buf, data, n)
        view = memoryview((C.c_char * n).from_address(buf)).cast("B")
        try:
            return drain(iter_loads(view))
        finally:
            view.release()
    finally:
        libc.free(buf)


def fed(pieces, limit):
    decoder = StreamDecoder(max_item_size=limit)
    items = []
    try:
        for piece in pieces:
            decoder.feed(piece)
            items.extend(plain(item) for item in decoder)
    except (CBORDecodeError, RecursionError) as e:
        return items, e, decoder.pending
    return items, None, decoder.pending


class Pieces:
    """A reader with only read(n), which returns the input in the given pieces."""

    def __init__(self, pieces):
        self.pieces = [p for p in pieces if p]

    def read(self, n):
        if not self.pieces:
            return b""
        piece = self.pieces[0]
        taken, self.pieces[0] = piece[:n], piece[n:]
        if not self.pieces[0]:
            self.pieces.pop(0)
        return taken


# The scan's own words, used where the decoder stopped short of the malformed head.
SCAN_REASONS = ("reserved additional information (28-30)", "an integer with an indefinite length",
                "a tag with an indefinite length", "a chunk of an indefinite-length string",
                "a simple value below 32", "a break ")


def check(name, items, error, pending, want_items, want):
    if isinstance(error, RecursionError) or isinstance(want, RecursionError):
        if items != want_items[:len(items)]:
            raise Finding("%s: %r, not %r" % (name, items, want_items))
        return
    if items != want_items:
        raise Finding("%s: %r, not %r" % (name, items, want_items))
    if error is None:
        # A clean end; or a tail waited on, which the decoder reports an error in.
        if (want is None) != (pending == 0):
            raise Finding("%s: ended with %r bytes held where iter_loads raised %r" % (name, pending, want))
    elif type(error) is CBORDecodeError and str(error).startswith(SCAN_REASONS):
        # Malformed, where the decoder, with fewer bytes or counting a length against
        # those left first, raised an error earlier (or a truncation).
        if not isinstance(want, CBORDecodeError) or want.pos > error.pos:
            raise Finding("%s raised %r where iter_loads raised %r" % (name, error, want))
    elif (type(error), error.pos, str(error)) != (type(want), want.pos, str(want)):
        raise Finding("%s raised %r where iter_loads raised %r" % (name, error, want))


def TestOneInput(raw):
    if not raw:
        return
    rng, data = random.Random(raw[0] & 0x7F), raw[1:]
    cuts = sorted(rng.randrange(len(data) + 1) for _ in range(rng.randrange(6)))
    points = [0] + cuts + [len(data)]
    pieces = [data[a:b] for a, b in zip(points, points[1:])]
    if raw[0] & 0x80 and rng.random() < 0.5:
        pieces = [data[i:i + 1] for i in range(len(data))]
    want_items, want = buffer_items(data)
    if raw[0] & 0x80:
        # A small limit: what comes out is what iter_loads gives, up to the item refused.
        items, error, _ = fed(pieces, SMALL_LIMIT)
        if items != want_items[:len(items)]:
            raise Finding("limited: %r, not a prefix of %r" % (items, want_items))
        if error is not None and "larger than max_item_size" in str(error):
            fp = io.BytesIO(data)  # the refused item starts where the last one yielded ended
            for _ in items:
                load(fp)
            if type(error) is not CBORDecodeError or error.pos != fp.tell():
                raise Finding("limited: %r for the item at byte %d" % (error, fp.tell()))
        return
    check("StreamDecoder", *fed(pieces, 0), want_items, want)
    reader = Pieces(pieces)
    items, error = drain(iter_load(reader))
    check("iter_load", items, error, sum(map(len, reader.pieces)), want_items, want)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
