// Floats at the narrowest of half, single and double precision that holds them
// exactly. The width is decided by writing all three and reading them back,
// without touching the heap.
#include "cbor.h"
#include "reader_inline.h"
#include "writer_inline.h"

#include <cmath>
#include <cstring>

namespace {

// Half-precision bits from single-precision bits: mantissa truncated, exponent
// rebiased without a range check. Out-of-range patterns never read back equal.
uint16_t half_from_single(uint32_t f) {
    uint32_t s = f >> 31, e = (f >> 23) & 0xff, m = f & 0x7fffff;
    if (e == 0) return (uint16_t)((s << 15) | (m >> 13));
    if (e == 255) return (uint16_t)(m ? 0xfc00 : (s << 15) | 0x7c00);
    uint32_t t = ((e - 127) & 0xff) + 15;
    return (uint16_t)((s << 15) | (m >> 13) | (t << 10));
}

// Equal as doubles; NaN never equals, +0 equals -0.
bool same(const cbor_val &a, const cbor_val &b) { return a.value.real == b.value.real; }

}  // namespace

size_t cbor_inline::float_item(double value, unsigned char *out) {
    static const unsigned char nan[3] = {0xf9, 0x7e, 0x00};
    static const unsigned char pos_inf[3] = {0xf9, 0x7c, 0x00};
    static const unsigned char neg_inf[3] = {0xf9, 0xfc, 0x00};
    if (std::isnan(value) || std::isinf(value)) {
        std::memcpy(out, std::isnan(value) ? nan : value >= 0 ? pos_inf : neg_inf, 3);
        return 3;
    }

    float narrow = (float)value;  // current rounding mode; beyond range: infinity
    uint32_t f;
    uint64_t d;
    std::memcpy(&f, &narrow, sizeof f);
    std::memcpy(&d, &value, sizeof d);

    // The three encodings, narrowest first, in a scratch buffer on the stack,
    // read back with the reader's own handlers.
    unsigned char scratch[3 + 5 + 9] = {0xf9, 0, 0, 0xfa, 0, 0, 0, 0, 0xfb};
    cbor_inline::store32(scratch + 4, f);
    cbor_inline::store64(scratch + 9, d);
    cbor_val read[3] = {};
    for (int i = 0; i < 3; ++i) {
        read[i].initial_byte = (uint8_t)(0xf9 + i);
        read[i].major_type = 7;
    }
    // Narrowest last: the single must equal the double, then the half the
    // single. The half is read back only when the single has passed. The
    // handlers are those cbor_jump_table holds for 0xf9, 0xfa and 0xfb, inlined;
    // on this well-formed scratch they cannot fail. The item is stored from
    // the values in registers.
    cbor_parser reader = {scratch, sizeof scratch, scratch + 3, 0};
    cbor_inline::parse_float32(&reader, &read[1]);
    cbor_inline::parse_float64(&reader, &read[2]);
    if (!same(read[1], read[2])) {
        out[0] = 0xfb;
        cbor_inline::store64(out + 1, d);
        return 9;
    }
    uint16_t half = half_from_single(f);
    cbor_inline::store16(scratch + 1, half);
    reader.cursor = scratch;
    cbor_inline::parse_float16(&reader, &read[0]);
    bool narrowest = same(read[0], read[1]);
    out[0] = (unsigned char)(0xfa - narrowest);
    cbor_inline::store64(out + 1, narrowest ? (uint64_t)half << 48 : (uint64_t)f << 32);
    return narrowest ? 3 : 5;
}

size_t cbor_inline::shortest_float_item(double value, unsigned char *out) {
    size_t size = float_item(value, out);
    // Half subnormals are k * 2**-24 for k below 1024; float_item wrote them as singles.
    double k = std::fabs(value) * 16777216.0;
    if (size == 5 && k < 1024 && k == std::floor(k)) {
        uint16_t half = (uint16_t)((std::signbit(value) ? 0x8000 : 0) | (uint16_t)k);
        out[0] = 0xf9;
        cbor_inline::store16(out + 1, half);
        return 3;
    }
    return size;
}

// One append: a failed write leaves the output as it was.
extern "C" int cbor_write_float(cbor_generator *generator, double value) {
    return cbor_inline::write_float(generator, value);
}
