// Floats at the narrowest of half, single and double precision that holds them
// exactly, decided from the double's bits.
#include "cbor.h"
#include "writer_inline.h"

#include <cmath>
#include <cstring>

namespace {

// NaN (any payload) as the one canonical quiet NaN; the infinities as halves.
size_t special_item(uint64_t d, unsigned char *out) {
    bool nan = (d << 12) != 0;
    out[0] = 0xf9;
    cbor_inline::store16(out + 1, nan ? 0x7e00 : d >> 63 ? 0xfc00 : 0x7c00);
    return 3;
}

}  // namespace

size_t cbor_inline::float_item(double value, unsigned char *out) {
    uint64_t d;
    std::memcpy(&d, &value, sizeof d);
    if ((d & 0x3ffffffffffULL) == 0) {
        // At most ten mantissa bits: a half holds it when its exponent is in
        // the half's normal range (-14 to 15), or when it is a zero. Half
        // subnormals are written as singles (see shortest_float_item).
        // Bits 52-62 hold the exponent (bias 1023), 42-51 the mantissa's top;
        // rebiased to 15 they are the half's low 15 bits.
        uint64_t rebased = ((d >> 42) & 0x1fffff) - ((1023 - 14) << 10);  // wraps below the range
        if (rebased < (30 << 10) || (d << 1) == 0) {
            uint64_t magnitude = (d << 1) ? rebased + (1 << 10) : 0;
            out[0] = 0xf9;
            cbor_inline::store16(out + 1, ((d >> 48) & 0x8000) | magnitude);
            return 3;
        }
        if ((d >> 52 & 0x7ff) == 0x7ff) return special_item(d, out);
    }
    float narrow = (float)value;  // beyond a single's range: an infinity, never equal
    // (the infinities themselves were taken above; NaN never equals)
    if ((double)narrow == value) {
        uint32_t f;
        std::memcpy(&f, &narrow, sizeof f);
        out[0] = 0xfa;
        cbor_inline::store32(out + 1, f);
        return 5;
    }
    if ((d >> 52 & 0x7ff) == 0x7ff) return special_item(d, out);
    out[0] = 0xfb;
    cbor_inline::store64(out + 1, d);
    return 9;
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
