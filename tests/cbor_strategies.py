"""Hypothesis strategies for well-formed CBOR bytes written every way the format allows:
heads of any width that holds their argument, indefinite lengths, floats of any bit
pattern at each width, text that is not UTF-8, tags over anything."""
import struct

from hypothesis import strategies as st

WIDTHS = {1: 24, 2: 25, 4: 26, 8: 27}


def head(major, argument, width):
    if width == 0:
        return bytes([major << 5 | argument])
    return bytes([major << 5 | WIDTHS[width]]) + argument.to_bytes(width, "big")


@st.composite
def heads(draw, major, argument):
    widths = ([0] if argument < 24 else []) + [w for w in (1, 2, 4, 8) if argument < 256 ** w]
    return head(major, argument, draw(st.sampled_from(widths)))


arguments = st.one_of(st.integers(0, 30), st.integers(0, 70000), st.integers(0, 2**64 - 1))
# Floats: the specials and their neighbours, and any bits.
SPECIAL_BITS = {2: [0x7C00, 0x7E00, 0xFC00, 0x7C01, 0xFE00, 0x0001, 0x8000, 0x03FF, 0x0400],
                4: [0x7F800000, 0x7FC00000, 0xFF800000, 0x7FC02000, 0x7F800001, 0x33800000, 0x3FC00000],
                8: [0x7FF0000000000000, 0x7FF8000000000000, 0x7FF8000000000001, 0xFFF8000000000000,
                    0x3FF8000000000000, struct.unpack(">Q", struct.pack(">d", 0.1))[0]]}


@st.composite
def floats(draw):
    width = draw(st.sampled_from([2, 4, 8]))
    bits = draw(st.one_of(st.sampled_from(SPECIAL_BITS[width]), st.integers(0, 256 ** width - 1)))
    if width < 8 and draw(st.booleans()):
        # A value that a narrower width holds, written wide.
        value = struct.unpack(">e", bits.to_bytes(2, "big"))[0] if width == 2 else None
        if value is not None and value == value:
            return b"\xfa" + struct.pack(">f", value)
    return bytes([0xF9 + {2: 0, 4: 1, 8: 2}[width]]) + bits.to_bytes(width, "big")


texts = st.one_of(st.text(max_size=12).map(lambda s: s.encode("utf-8", "surrogatepass")), st.binary(max_size=12))


@st.composite
def strings(draw, major):
    content = draw(texts if major == 3 else st.binary(max_size=12))
    return draw(heads(major, len(content))) + content


@st.composite
def items(draw, depth=0):
    kinds = ["uint", "nint", "bytes", "text", "float", "simple"]
    if depth < 3:
        kinds += ["array", "map", "chunks", "tag", "embedded", "bignum"]
    kind = draw(st.sampled_from(kinds))
    if kind in ("uint", "nint"):
        return draw(heads(0 if kind == "uint" else 1, draw(arguments)))
    if kind == "bytes":
        return draw(strings(2))
    if kind == "text":
        return draw(strings(3))
    if kind == "float":
        return draw(floats())
    if kind == "simple":
        n = draw(st.one_of(st.integers(0, 23), st.integers(32, 255)))
        return bytes([0xE0 | n]) if n < 24 else bytes([0xF8, n])
    indefinite = draw(st.booleans())
    if kind == "chunks":
        major = draw(st.sampled_from([2, 3]))
        chunks = draw(st.lists(strings(major), max_size=3))
        return bytes([major << 5 | 31]) + b"".join(chunks) + b"\xff"
    if kind in ("array", "map"):
        count = draw(st.integers(0, 3))
        members = b"".join(draw(items(depth + 1)) for _ in range(count * (2 if kind == "map" else 1)))
        major = 4 if kind == "array" else 5
        start = bytes([major << 5 | 31]) if indefinite else draw(heads(major, count))
        return start + members + (b"\xff" if indefinite else b"")
    if kind == "tag":
        number = draw(st.one_of(st.sampled_from([0, 1, 2, 3, 24, 55799]), arguments))
        return draw(heads(6, number)) + draw(items(depth + 1))
    if kind == "embedded":
        content = draw(st.one_of(items(depth + 1), st.binary(max_size=6)))
        return draw(heads(6, 24)) + draw(heads(2, len(content))) + content
    magnitude = draw(st.binary(max_size=20))  # a bignum, leading zeros and all
    return draw(heads(6, draw(st.sampled_from([2, 3])))) + draw(heads(2, len(magnitude))) + magnitude


sequences = st.lists(items(), max_size=4).map(b"".join)
