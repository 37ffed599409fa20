"""The codec's exported C interface, seen through ctypes on the built module."""
import ctypes as C

import vantra_cbor

ALL_ONES = 2**64 - 1


class Generator(C.Structure):
    _fields_ = [("data", C.POINTER(C.c_ubyte)), ("length", C.c_size_t), ("capacity", C.c_size_t)]


class Parser(C.Structure):
    _fields_ = [("start", C.POINTER(C.c_ubyte)), ("size", C.c_uint64),
                ("cursor", C.POINTER(C.c_ubyte)), ("indefinite", C.c_int32)]


class Value(C.Union):
    _fields_ = [("uint", C.c_uint64), ("real", C.c_double), ("data", C.POINTER(C.c_ubyte))]


class Val(C.Structure):
    _fields_ = [("initial_byte", C.c_uint8), ("major_type", C.c_int32),
                ("value", Value), ("length", C.c_uint64)]


class Fault(C.Structure):
    _fields_ = [("found", C.c_int32), ("offset", C.c_uint64), ("line", C.c_uint64), ("column", C.c_uint64),
                ("position", C.c_uint64), ("message", C.c_char * 160)]


GEN, PARSER, VAL = C.POINTER(Generator), C.POINTER(Parser), C.POINTER(Val)
HANDLER = C.CFUNCTYPE(C.c_int32, PARSER, VAL)

lib = C.CDLL(vantra_cbor.__file__)

_signatures = {
    "cbor_generator_create": (GEN, []),
    "cbor_generator_free": (None, [GEN]),
    "_cbor_generator_write_byte": (C.c_int, [GEN, C.c_int]),
    "_cbor_generator_write_bytes": (C.c_int, [GEN, C.c_char_p, C.c_size_t]),
    "_cbor_write_uint_helper": (C.c_int, [GEN, C.c_int, C.c_uint64]),
    "_cbor_write_uint_sized": (C.c_int, [GEN, C.c_int, C.c_uint64]),
    "cbor_write_uint": (C.c_int, [GEN, C.c_uint64]),
    "cbor_write_negint": (C.c_int, [GEN, C.c_int64]),
    "cbor_write_byte_string": (C.c_int, [GEN, C.c_char_p, C.c_size_t]),
    "cbor_write_text_string": (C.c_int, [GEN, C.c_char_p, C.c_size_t]),
    "cbor_write_array": (C.c_int, [GEN, C.c_size_t]),
    "cbor_write_map": (C.c_int, [GEN, C.c_size_t]),
    "cbor_write_float32": (C.c_int, [GEN, C.c_double]),
    "cbor_write_float64": (C.c_int, [GEN, C.c_double]),
    "cbor_write_float": (C.c_int, [GEN, C.c_double]),
    "cbor_parser_create": (PARSER, [C.c_char_p, C.c_uint64]),
    "cbor_parser_free": (None, [PARSER]),
    "cbor_parser_available_bytes": (C.c_int32, [PARSER]),
    "cbor_val_create": (VAL, []),
    "cbor_val_free": (None, [VAL]),
    "cbor_next_val": (VAL, [PARSER]),
    "cbor_diag": (C.c_int, [GEN, C.c_char_p, C.c_size_t, C.c_int, C.c_int, C.POINTER(Fault)]),
    "cbor_from_diag": (C.c_int, [GEN, C.c_char_p, C.c_size_t, C.c_int, C.POINTER(Fault)]),
    "cbor_item_size": (C.c_int, [C.c_char_p, C.c_size_t, C.POINTER(C.c_uint64), C.POINTER(Fault)]),
    "cbor_check": (C.c_int, [C.c_char_p, C.c_size_t, C.c_int, C.POINTER(Fault)]),
}
for _name in ("false", "true", "null", "undefined", "break"):
    _signatures["cbor_write_" + _name] = (C.c_int, [GEN])
for _name, (_res, _args) in _signatures.items():
    getattr(lib, _name).restype = _res
    getattr(lib, _name).argtypes = _args

jump_table = (HANDLER * 256).in_dll(lib, "cbor_jump_table")


def address(pointer):
    return C.cast(pointer, C.c_void_p).value or 0


def handler(name):
    return C.cast(getattr(lib, name), C.c_void_p).value


def contents(gen):
    g = gen.contents
    return C.string_at(g.data, g.length) if g.length else b""


def write(fn, *args):
    """Runs one writer on a fresh generator: (result, bytes written)."""
    gen = lib.cbor_generator_create()
    try:
        rc = getattr(lib, fn)(gen, *args)
        return rc, contents(gen)
    finally:
        lib.cbor_generator_free(gen)


class Reader:
    """A parser over bytes that it keeps alive, with the cursor as an offset."""

    def __init__(self, data):
        self.buf = C.create_string_buffer(data, len(data))
        self.parser = lib.cbor_parser_create(self.buf, len(data))

    @property
    def offset(self):
        p = self.parser.contents
        return address(p.cursor) - address(p.start)

    def next(self):
        """The next item as a plain dict, or None."""
        v = lib.cbor_next_val(self.parser)
        if not v:
            return None
        try:
            return item(v.contents)
        finally:
            lib.cbor_val_free(v)

    def close(self):
        lib.cbor_parser_free(self.parser)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def item(val):
    out = {"initial_byte": val.initial_byte, "major_type": val.major_type,
           "uint": val.value.uint, "real": val.value.real, "length": val.length}
    if val.major_type in (2, 3) and val.length != ALL_ONES:
        extra = 1 if val.major_type == 3 else 0
        out["data"] = C.string_at(val.value.data, val.length + extra)
    return out
