// Inline reader pieces for code inside this library: argument reading and the
// float handlers, shared by the exported handlers and the float width choice.
#ifndef VANTRA_CBOR_READER_INLINE_H
#define VANTRA_CBOR_READER_INLINE_H

#include <cstring>

#include "cbor.h"
#include "portable.h"

// The float width choice relies on these being inlined: its scratch buffer
// then folds away into registers.
#define CBOR_INLINE VANTRA_INLINE

namespace cbor_inline {

const uint64_t kInfinity = 0x7ff0000000000000u;
const uint64_t kQuietNan = 0x7ff8000000000000u;

// Bytes between the cursor and the end of the range, at full width.
CBOR_INLINE uint64_t remaining(const cbor_parser *p) {
    uint64_t consumed = (uint64_t)(p->cursor - p->start);
    return consumed < p->size ? p->size - consumed : 0;
}

// A big-endian number of 1, 2, 4 or 8 bytes: one load (and one byte swap
// where the machine's order is the other).
CBOR_INLINE uint64_t read_be(const unsigned char *b, int width) {
    switch (width) {
    case 1:
        return b[0];
    case 2:
        return vantra_portable::load_be16(b);
    case 4:
        return vantra_portable::load_be32(b);
    default:
        return vantra_portable::load_be64(b);
    }
}

// Argument of a head in the next `width` bytes; the cursor stays just past the
// initial byte when they are missing.
CBOR_INLINE int32_t read_argument(cbor_parser *p, uint64_t *out, int width) {
    if (remaining(p) < 1) return -1;
    p->cursor += 1;
    if (remaining(p) < (uint64_t)width) return -1;
    *out = read_be(p->cursor, width);
    p->cursor += width;
    return 0;
}

// Bytes in the head that starts with `initial`: 1, 2, 3, 5 or 9 (1 for
// additional information 28-31, which carry no argument).
CBOR_INLINE constexpr int head_size(unsigned initial) {
    unsigned ai = initial & 0x1f;
    return ai < 24 || ai > 27 ? 1 : 1 + (1 << (ai - 24));
}

// The argument of the head at the cursor: in the initial byte (additional
// information below 24) or in the 1, 2, 4 or 8 bytes after it (24-27). -1 for
// 28-31, which carry none (the cursor stays put), and for missing bytes.
CBOR_INLINE int32_t read_head(cbor_parser *p, uint64_t *out) {
    uint64_t left = remaining(p);
    if (left < 1) return -1;
    unsigned ai = *p->cursor & 0x1f;
    if (ai < 24) {
        *out = ai;
        p->cursor += 1;
        return 0;
    }
    if (ai > 27) return -1;
    int width = 1 << (ai - 24);
    p->cursor += 1;
    if (left - 1 < (uint64_t)width) return -1;
    *out = read_be(p->cursor, width);
    p->cursor += width;
    return 0;
}

// Half precision as RFC 7049 Appendix D decodes it, as the double's bits; NaN
// payloads are dropped. The magnitudes are exact: a power-of-two scale of an
// 11-bit mantissa.
CBOR_INLINE uint64_t half_as_double(uint64_t half) {
    int exponent = (int)(half >> 10) & 0x1f;
    uint64_t mantissa = half & 0x3ff, bits;
    if (exponent == 0) {
        double magnitude = (double)mantissa * 0x1p-24;
        std::memcpy(&bits, &magnitude, sizeof bits);
    } else if (exponent != 31) {
        bits = (uint64_t)(exponent - 15 + 1023) << 52 | mantissa << 42;
    } else {
        bits = mantissa == 0 ? kInfinity : kQuietNan;
    }
    return bits | (half & 0x8000) << 48;  // the sign, without a branch on it
}

// Single precision widened, as the double's bits; the two patterns below read
// as the canonical infinity and quiet NaN.
CBOR_INLINE uint64_t single_as_double(uint32_t single_bits) {
    if (single_bits == 0x7f800000u) return kInfinity;
    if (single_bits == 0x7ffc0000u) return kQuietNan;
    float single;
    double wide;
    uint64_t bits;
    std::memcpy(&single, &single_bits, sizeof single);
    wide = single;
    std::memcpy(&bits, &wide, sizeof bits);
    return bits;
}

CBOR_INLINE int32_t parse_float16(cbor_parser *p, cbor_val *v) {
    uint64_t half;
    if (read_argument(p, &half, 2) < 0) return -1;
    v->value.uint = half_as_double(half);
    return 0;
}

CBOR_INLINE int32_t parse_float32(cbor_parser *p, cbor_val *v) {
    uint64_t bits;
    if (read_argument(p, &bits, 4) < 0) return -1;
    v->value.uint = single_as_double((uint32_t)bits);
    return 0;
}

// The double's bits, unchanged (NaN payloads kept).
CBOR_INLINE int32_t parse_float64(cbor_parser *p, cbor_val *v) { return read_argument(p, &v->value.uint, 8); }

}  // namespace cbor_inline

#endif  // VANTRA_CBOR_READER_INLINE_H
