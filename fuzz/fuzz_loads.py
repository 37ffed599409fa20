#!/usr/bin/env python3
"""Fuzzes vantra_cbor.loads on arbitrary bytes.

Every input must decode to a value or fail with CBORDecodeError (or
RecursionError, for nesting too deep for the interpreter); anything else, a
crash, or a sanitizer report is a finding. What decodes is written again by an
independent encoder (cbor2) and must decode to an equal value: the tags of
other libraries' types (IP addresses, fractions, bigfloats, patterns, MIME
messages) come back from cbor2's own encoding of them. The input sits
in a malloc block of its exact size, so that a read past it is reported.

Inputs with the 0x20 bit of their first byte are decoded with the other options
too (an object_hook, lenient str_errors, duplicate keys refused); inputs with
the 0x40 bit are decoded a second time with a
hostile tag_hook: it touches every slot of every young list and tuple the
collector knows of, runs a collection, and decodes another document, before
returning what decoding without it gives (a Tag); both decodings must agree.
"""
import ctypes as C
import datetime
import email.message
import gc
import math
import sys

import atheris

with atheris.instrument_imports():
    import cbor2

from vantra_cbor import CBORDecodeError, Simple, Tag, loads, undefined

libc = C.CDLL(None)
libc.malloc.restype = C.c_void_p
libc.malloc.argtypes = [C.c_size_t]
libc.free.argtypes = [C.c_void_p]


class Finding(AssertionError):
    """What the fuzzer should stop on."""


class Beyond(Exception):
    """A value cbor2 cannot hold as it is (its simple values equal ints)."""


def for_cbor2(value):
    """value with this module's own types as cbor2 writes them."""
    if isinstance(value, list):
        return [for_cbor2(v) for v in value]
    if isinstance(value, tuple):
        return tuple(for_cbor2(v) for v in value)
    if isinstance(value, dict):
        out = {for_cbor2(k): for_cbor2(v) for k, v in value.items()}
        if len(out) != len(value):
            raise Beyond()  # Simple(12) and 12 are one key to cbor2
        return out
    if isinstance(value, Tag):
        return cbor2.CBORTag(value.tag, for_cbor2(value.value))
    if isinstance(value, Simple):
        return cbor2.CBORSimpleValue(value.value)
    if value is undefined:
        return cbor2.undefined
    return value


def plain(value):
    """A form in which equal decodings compare equal: NaN included, floats by sign too."""
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else repr(value))
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [plain(v) for v in value])
    if isinstance(value, dict):
        return ("dict", [(plain(k), plain(v)) for k, v in value.items()])
    if isinstance(value, Tag):
        return ("tag", value.tag, plain(value.value))
    if isinstance(value, datetime.datetime):
        return ("datetime", value, value.utcoffset())
    if type(value).__name__ == "ndarray":
        return ("ndarray", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, email.message.Message):  # equal only to itself; as_string() may refuse it
        payload = value.get_payload()
        return ("Message", value.get_unixfrom(), value.items(), value.preamble, value.epilogue,
                [plain(part) for part in payload] if isinstance(payload, list) else payload)
    return (type(value).__name__, value)


def hostile_hook(tag, value):
    for o in gc.get_objects(generation=0):
        if type(o) in (list, tuple):
            for _ in o:
                pass
    gc.collect(0)
    loads(b"\x82\xd8\x63\x81\x01\x02", tag_hook=lambda t, v: v)  # the decoder entered again
    return Tag(tag, value)


def outcome(view, max_depth, hook=None):
    """The plain form of what decoding gives, or the error's type and message."""
    try:
        return plain(loads(view, max_depth=max_depth, tag_hook=hook))
    except (CBORDecodeError, RecursionError) as e:
        return (type(e).__name__, str(e))


def TestOneInput(data):
    n = len(data)
    buf = libc.malloc(n or 1)  # exactly n bytes: a read past them is reported
    if not buf:
        raise MemoryError()
    try:
        C.memmove(buf, data, n)
        view = memoryview((C.c_char * n).from_address(buf)).cast("B")
        max_depth = data[0] % 8 if n and data[0] & 0x80 else 0
        try:
            if n and data[0] & 0x20:
                try:
                    loads(view, object_hook=lambda d: d, str_errors="surrogateescape", allow_duplicate_keys=False)
                except (CBORDecodeError, RecursionError):
                    pass
            if n and data[0] & 0x40:
                first = outcome(view, max_depth)
                hooked = outcome(view, max_depth, hostile_hook)
                if hooked != first and "RecursionError" not in (first[0], hooked[0]):
                    raise Finding("with a hostile hook %r, without %r" % (hooked, first))
            value = loads(view, max_depth=max_depth)
        except (CBORDecodeError, RecursionError):
            return
        finally:
            view.release()
    finally:
        libc.free(buf)
    try:
        again = cbor2.dumps(for_cbor2(value), datetime_as_timestamp=False)
    except (Beyond, ValueError, TypeError, OverflowError, RecursionError, cbor2.CBOREncodeError):
        # beyond what cbor2 writes (datetimes outside its range, say), or what
        # for_cbor2 can walk (a value that contains itself, through tags 28/29)
        return
    if plain(loads(again)) != plain(value):
        raise Finding("%r read back as %r" % (value, loads(again)))


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
