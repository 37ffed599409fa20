#!/usr/bin/env python3
"""Fuzzes the codec's reader through its exported C interface (ctypes on the
built module).

The input is read item by item with cbor_next_val, and some handlers of
cbor_jump_table are called directly on a cbor_val_create() record, some on
an initial byte of another handler's. Every outcome (status, cursor, record
fields, the parser's indefinite flag) is compared with a small reference
reader written here from codec/cbor.h. Meant to run under AddressSanitizer
and UBSan (fuzz/run.sh); the input sits in a malloc block of its exact size,
so that a read past it is reported.
"""
import ctypes as C
import math
import struct
import sys

import atheris

import vantra_cbor

ALL_ONES = 2**64 - 1
INT32_MAX = 2**31 - 1
INF, QUIET_NAN, SIGN = 0x7FF0000000000000, 0x7FF8000000000000, 1 << 63
MAX_DIRECT = 16  # direct handler calls per input


class Finding(AssertionError):
    """What the fuzzer should stop on."""


# ---- The C interface ---------------------------------------------------------------

class Parser(C.Structure):
    _fields_ = [("start", C.c_void_p), ("size", C.c_uint64),
                ("cursor", C.c_void_p), ("indefinite", C.c_int32)]


class Value(C.Union):
    _fields_ = [("uint", C.c_uint64), ("real", C.c_double), ("data", C.c_void_p)]


class Val(C.Structure):
    _fields_ = [("initial_byte", C.c_uint8), ("major_type", C.c_int32),
                ("value", Value), ("length", C.c_uint64)]


PARSER, VAL = C.POINTER(Parser), C.POINTER(Val)
HANDLER = C.CFUNCTYPE(C.c_int32, PARSER, VAL)

lib = C.CDLL(vantra_cbor.__file__)
for name, restype, argtypes in [
        ("cbor_parser_create", PARSER, [C.c_void_p, C.c_uint64]),
        ("cbor_parser_free", None, [PARSER]),
        ("cbor_parser_available_bytes", C.c_int32, [PARSER]),
        ("cbor_val_create", VAL, []),
        ("cbor_val_free", None, [VAL]),
        ("cbor_next_val", VAL, [PARSER])]:
    getattr(lib, name).restype = restype
    getattr(lib, name).argtypes = argtypes
jump_table = (HANDLER * 256).in_dll(lib, "cbor_jump_table")

libc = C.CDLL(None)
libc.malloc.restype = C.c_void_p
libc.malloc.argtypes = [C.c_size_t]
libc.free.argtypes = [C.c_void_p]
libc.fopen.restype = C.c_void_p
libc.fopen.argtypes = [C.c_char_p, C.c_char_p]
# The reader writes "Unimplemented CBOR code: %02x" through stdio's stderr. It
# is pointed at /dev/null around the calls; the sanitizers and libFuzzer keep
# file descriptor 2.
c_stderr = C.c_void_p.in_dll(libc, "stderr")
dev_null = libc.fopen(b"/dev/null", b"w")


class Quiet:
    def __enter__(self):
        self.saved = c_stderr.value
        c_stderr.value = dev_null

    def __exit__(self, *exc):
        c_stderr.value = self.saved


# ---- The reference reader ---------------------------------------------------------

def family(byte):
    """What cbor_jump_table holds for byte: (kind, width)."""
    major, ai = byte >> 5, byte & 31
    if major < 6:
        if ai < 24:
            return ("head", 0)
        if ai < 28:
            return ("head", 1 << (ai - 24))
        if ai == 31 and major >= 2:
            return ("indefinite", 0)
        return ("skip", 0)
    if major == 6:
        return ("tag", 0) if ai < 28 else ("skip", 0)
    return {20: ("skip", 0), 21: ("skip", 0), 22: ("skip", 0), 23: ("skip", 0),
            25: ("float", 2), 26: ("float", 4), 27: ("float", 8), 31: ("break", 0)}.get(
        ai, ("skip", 0) if ai > 27 else ("unimplemented", 0))


def half_bits(h):
    exponent, mantissa = (h >> 10) & 31, h & 0x3FF
    if exponent == 0:
        bits = struct.unpack("<Q", struct.pack("<d", mantissa * 2.0**-24))[0]
    elif exponent != 31:
        bits = (exponent - 15 + 1023) << 52 | mantissa << 42
    else:
        bits = INF if mantissa == 0 else QUIET_NAN
    return bits ^ (SIGN if h & 0x8000 else 0)


def single_bits(f):
    if f == 0x7F800000:
        return INF
    if f == 0x7FFC0000:
        return QUIET_NAN
    if (f >> 23) & 0xFF == 0xFF and f & 0x7FFFFF:  # NaN: the hardware quiets it
        return (SIGN if f >> 31 else 0) | INF | 1 << 51 | (f & 0x7FFFFF) << 29
    return struct.unpack("<Q", struct.pack("<d", struct.unpack("<f", struct.pack("<I", f))[0]))[0]


def reference(handler_byte, data, indefinite):
    """What the handler for handler_byte does on data (cursor at data[0]):
    (status, bytes consumed, fields or None, indefinite flag after)."""
    kind, width = family(handler_byte)
    major = handler_byte >> 5
    fields = {"uint": 0, "length": 0, "data": None}
    if not data:
        return -1, 0, None, indefinite
    initial = data[0]

    def argument(width):
        """(argument, consumed), or (None, consumed) when bytes are missing."""
        if width == 0:
            return initial & 31, 1
        if len(data) - 1 < width:
            return None, 1
        raw = data[1:1 + min(width, 8)]
        return int.from_bytes(raw, "big"), 1 + width

    if kind == "head":
        arg, used = argument(width)
        if arg is None:
            return -1, used, None, indefinite
        if major == 0:
            fields["uint"] = arg
        elif major == 1:
            fields["uint"] = ~arg & ALL_ONES
        elif major in (4, 5):
            fields["length"] = arg
        else:
            fields["length"] = arg
            if arg > len(data) - used:
                return -1, used, None, indefinite
            fields["data"] = data[used:used + arg] + (b"\0" if major == 3 else b"")
            used += arg
        return 0, used, fields, indefinite
    if kind == "indefinite":
        fields["length"] = ALL_ONES
        return 0, 1, fields, 1
    if kind == "tag":
        ai = initial & 31  # the byte at the cursor decides, not the table's
        if ai < 24:
            return 0, 1, fields, indefinite
        arg, used = argument(1 << (ai - 24))
        if arg is None:
            return -1, used, None, indefinite
        fields["uint"] = arg
        return 0, used, fields, indefinite
    if kind == "unimplemented":
        if initial == 0xF8:
            return (0, 2, fields, indefinite) if len(data) >= 2 else (-1, 1, None, indefinite)
        return 0, 1, fields, indefinite
    if kind == "float":
        arg, used = argument(width)
        if arg is None:
            return -1, used, None, indefinite
        fields["uint"] = {2: half_bits, 4: single_bits, 8: lambda b: b}[width](arg)
        return 0, used, fields, indefinite
    if kind == "break":
        return 0, 1, fields, 0
    return 0, 1, fields, indefinite  # skip


# ---- Checking ----------------------------------------------------------------------

def record(val, handler_byte):
    """The record's fields, read as the reference states them."""
    v = val.contents
    out = {"uint": v.value.uint, "length": v.length, "data": None}
    if handler_byte >> 5 in (2, 3) and v.length != ALL_ONES and family(handler_byte)[0] == "head":
        extra = 1 if handler_byte >> 5 == 3 else 0
        if not v.value.data:
            raise Finding("string without data")
        out["data"] = C.string_at(v.value.data, v.length + extra)
        out["uint"] = 0
    return out


def check(what, handler_byte, data, status, consumed, fields, flag, indefinite):
    want = reference(handler_byte, data, indefinite)
    if status != want[0] or consumed != want[1] or flag != want[3]:
        raise Finding("%s: handler %02x on %s: status %d, consumed %d, flag %d; expected %r"
                      % (what, handler_byte, data[:32].hex(), status, consumed, flag, want))
    if status == 0 and fields != want[2]:
        raise Finding("%s: handler %02x on %s: fields %r, expected %r"
                      % (what, handler_byte, data[:32].hex(), fields, want[2]))


def read_all(buf, data):
    """cbor_next_val until it returns null, each item against the reference."""
    parser = lib.cbor_parser_create(buf, len(data))
    if not parser:
        raise MemoryError()
    p = parser.contents
    offset, flag = 0, 0
    try:
        while True:
            if lib.cbor_parser_available_bytes(parser) != min(len(data) - offset, INT32_MAX):
                raise Finding("available bytes wrong at %d" % offset)
            with Quiet():
                val = lib.cbor_next_val(parser)
            cursor = p.cursor - p.start
            if not val:
                if offset < len(data):
                    want = reference(data[offset], data[offset:], flag)
                    if want[0] != -1:
                        raise Finding("next_val failed at %d on %s; expected %r"
                                      % (offset, data[offset:offset + 16].hex(), want))
                    if cursor - offset != want[1]:
                        raise Finding("failed item at %d left the cursor at %d" % (offset, cursor))
                elif cursor != offset:
                    raise Finding("cursor moved at the end")
                return
            try:
                v = val.contents
                byte = data[offset]
                if v.initial_byte != byte or v.major_type != byte >> 5:
                    raise Finding("record head %02x/%d for %02x" % (v.initial_byte, v.major_type, byte))
                check("next_val at %d" % offset, byte, data[offset:], 0, cursor - offset,
                      record(val, byte), p.indefinite, flag)
            finally:
                lib.cbor_val_free(val)
            offset, flag = cursor, p.indefinite
    finally:
        lib.cbor_parser_free(parser)


def call_direct(buf, data, at, handler_byte, flag):
    """One handler on a fresh record, over data[at:] with the given flag."""
    parser = lib.cbor_parser_create(buf + at, len(data) - at)
    val = lib.cbor_val_create()
    if not parser or not val:
        raise MemoryError()
    try:
        p = parser.contents
        p.indefinite = flag
        if any(C.string_at(C.addressof(val.contents), C.sizeof(Val))):
            raise Finding("cbor_val_create gave a record that is not zero-filled")
        # As cbor_next_val fills them in, so that cbor_val_free knows a string.
        val.contents.initial_byte = handler_byte
        val.contents.major_type = handler_byte >> 5
        with Quiet():
            status = jump_table[handler_byte](parser, val)
        consumed = p.cursor - p.start
        fields = record(val, handler_byte) if status == 0 else None
        check("direct at %d" % at, handler_byte, data[at:], status, consumed, fields, p.indefinite, flag)
    finally:
        lib.cbor_val_free(val)
        lib.cbor_parser_free(parser)


def TestOneInput(data):
    n = len(data)
    buf = libc.malloc(n)  # exactly n bytes: a read past them is reported
    if not buf:
        raise MemoryError()
    try:
        C.memmove(buf, data, n)
        read_all(buf, data)
        if not n:
            return
        # Handlers called directly: the table's own for the byte at the cursor,
        # or, when the last byte is odd, another one chosen by it.
        xor = data[-1] if data[-1] & 1 else 0
        step = max(1, n // MAX_DIRECT)
        for at in range(0, n, step):
            call_direct(buf, data, at, data[at] ^ xor, data[at] & 1)
        # An exhausted parser: nothing may be read.
        call_direct(buf, data, n, data[0], 0)
    finally:
        libc.free(buf)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
