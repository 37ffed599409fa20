// Floats at the narrowest of half, single and double precision that holds them
// exactly. The width is decided by writing all three and reading them back,
// without touching the heap.
#include "cbor.h"

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

// One float item: head byte and big-endian payload of `width` bytes.
struct Item {
    unsigned char bytes[9];
    size_t size;
    Item(unsigned char head, uint64_t bits, int width) : size(1 + (size_t)width) {
        bytes[0] = head;
        for (int i = 0; i < width; ++i) bytes[1 + i] = (unsigned char)(bits >> (8 * (width - 1 - i)));
    }
};

// Equal as doubles; NaN never equals, +0 equals -0.
bool same(const cbor_val &a, const cbor_val &b) { return a.value.real == b.value.real; }

}  // namespace

extern "C" int cbor_write_float(cbor_generator *generator, double value) {
    static const unsigned char nan[3] = {0xf9, 0x7e, 0x00};
    static const unsigned char pos_inf[3] = {0xf9, 0x7c, 0x00};
    static const unsigned char neg_inf[3] = {0xf9, 0xfc, 0x00};
    if (std::isnan(value)) return _cbor_generator_write_bytes(generator, nan, 3);
    if (std::isinf(value)) {
        return _cbor_generator_write_bytes(generator, value >= 0 ? pos_inf : neg_inf, 3);
    }

    float single = (float)value;  // current rounding mode; beyond range: infinity
    uint32_t f;
    uint64_t d;
    std::memcpy(&f, &single, sizeof f);
    std::memcpy(&d, &value, sizeof d);
    const Item items[3] = {Item(0xf9, half_from_single(f), 2), Item(0xfa, f, 4), Item(0xfb, d, 8)};

    // The three encodings, narrowest first, in a scratch buffer on the stack,
    // read back with the reader's own handlers.
    unsigned char scratch[3 + 5 + 9];
    size_t used = 0;
    for (const Item &item : items) {
        std::memcpy(scratch + used, item.bytes, item.size);
        used += item.size;
    }
    cbor_parser reader = {scratch, used, scratch, 0};
    cbor_val read[3] = {};
    for (cbor_val &val : read) {
        val.initial_byte = *reader.cursor;
        val.major_type = val.initial_byte >> 5;
        if (cbor_jump_table[val.initial_byte](&reader, &val) != 0) return -1;
    }
    // Narrowest last: single must equal double, half must equal single.
    const Item &chosen = !same(read[1], read[2]) ? items[2] : !same(read[0], read[1]) ? items[1] : items[0];
    // One append: a failed write leaves the output as it was.
    return _cbor_generator_write_bytes(generator, chosen.bytes, chosen.size) < 0 ? -1 : 1;
}
