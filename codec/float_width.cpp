// Floats at the narrowest of half, single and double precision that holds them
// exactly, decided from the double's bits.
#include "cbor.h"
#include "writer_inline.h"

#include <cmath>
#include <cstring>

// NaN (any payload) as the one canonical quiet NaN; the infinities as halves.
size_t cbor_inline::special_float_item(uint64_t d, unsigned char *out) {
    bool nan = (d << 12) != 0;
    out[0] = 0xf9;
    cbor_inline::store16(out + 1, nan ? 0x7e00 : d >> 63 ? 0xfc00 : 0x7c00);
    return 3;
}

size_t cbor_inline::float_item_call(double value, unsigned char *out) { return float_item(value, out); }

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
