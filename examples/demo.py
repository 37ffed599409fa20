"""A few CBOR items written through the codec's C interface."""
import ctypes

import vantra_cbor

lib = ctypes.CDLL(vantra_cbor.__file__)
lib.cbor_generator_create.restype = ctypes.c_void_p
for name in ("cbor_write_uint", "cbor_write_negint", "cbor_write_text_string",
             "cbor_write_array", "cbor_write_float64", "cbor_generator_free"):
    getattr(lib, name).argtypes = [ctypes.c_void_p]
lib.cbor_write_uint.argtypes += [ctypes.c_uint64]
lib.cbor_write_negint.argtypes += [ctypes.c_int64]
lib.cbor_write_text_string.argtypes += [ctypes.c_char_p, ctypes.c_size_t]
lib.cbor_write_array.argtypes += [ctypes.c_size_t]
lib.cbor_write_float64.argtypes += [ctypes.c_double]


class Generator(ctypes.Structure):
    _fields_ = [("data", ctypes.POINTER(ctypes.c_ubyte)), ("length", ctypes.c_size_t)]


for label, fn, args in [("1000", "cbor_write_uint", (1000,)), ("-500", "cbor_write_negint", (-500,)),
                        ('"hello"', "cbor_write_text_string", (b"hello", 5)),
                        ("array of 3", "cbor_write_array", (3,)),
                        ("0.1", "cbor_write_float64", (0.1,))]:
    gen = lib.cbor_generator_create()
    getattr(lib, fn)(gen, *args)
    g = Generator.from_address(gen)
    print("%-12s %s" % (label, ctypes.string_at(g.data, g.length).hex(" ")))
    lib.cbor_generator_free(gen)
