"""An independent reference for the float width, by the struct module's IEEE packing."""
import math
import struct


def float_bytes(x):
    """Narrowest exact width by the struct module's IEEE packing."""
    if math.isnan(x):
        return b"\xf9\x7e\x00"
    try:
        single = struct.pack(">f", x)
    except OverflowError:
        return b"\xfb" + struct.pack(">d", x)
    if struct.unpack(">f", single)[0] != x:
        return b"\xfb" + struct.pack(">d", x)
    try:
        half = struct.pack(">e", x)
    except OverflowError:
        return b"\xfa" + single
    subnormal = half[0] & 0x7C == 0 and x != 0
    if struct.unpack(">e", half)[0] != x or subnormal:
        return b"\xfa" + single
    return b"\xf9" + half
