// Output buffer and item writers.
#include "cbor.h"

#include <cstdlib>
#include <cstring>

namespace {

// Sizes never wrap: an append that would overflow length fails instead.
inline bool add_overflows(size_t a, size_t b) { return b > SIZE_MAX - a; }

// The low 8 * width bits of value, most significant byte first, one append each.
int write_be(cbor_generator *g, uint64_t value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
        if (_cbor_generator_write_byte(g, (int)(value >> shift)) < 0) return -1;
    }
    return 0;
}

int write_string(cbor_generator *g, int major_type, const void *source, size_t length) {
    if (length == CBOR_INDEFINITE) return _cbor_generator_write_byte(g, (major_type << 5) | 31);
    if (_cbor_write_uint_helper(g, major_type, length) < 0) return -1;
    return _cbor_generator_write_bytes(g, source, length);
}

int write_head(cbor_generator *g, int major_type, size_t count) {
    if (count == CBOR_INDEFINITE) return _cbor_generator_write_byte(g, (major_type << 5) | 31);
    return _cbor_write_uint_helper(g, major_type, count);
}

}  // namespace

extern "C" {

cbor_generator *cbor_generator_create(void) {
    return static_cast<cbor_generator *>(std::calloc(1, sizeof(cbor_generator)));
}

void cbor_generator_free(cbor_generator *generator) {
    if (!generator) return;
    std::free(generator->data);
    std::free(generator);
}

int _cbor_generator_write_bytes(cbor_generator *generator, const void *source, size_t count) {
    if (!generator) return -1;
    if (count == 0) return 0;
    if (add_overflows(generator->length, count)) return -1;
    // A failed realloc leaves the old block in place, so data/length stay valid.
    void *grown = std::realloc(generator->data, generator->length + count);
    if (!grown) return -1;
    generator->data = static_cast<unsigned char *>(grown);
    std::memcpy(generator->data + generator->length, source, count);
    generator->length += count;
    return 0;
}

int _cbor_generator_write_byte(cbor_generator *generator, int byte) {
    unsigned char b = (unsigned char)byte;
    return _cbor_generator_write_bytes(generator, &b, 1);
}

// Shortest head: the argument picks the width.
int _cbor_write_uint_helper(cbor_generator *generator, int major_type, uint64_t argument) {
    int mt = (major_type & 7) << 5;
    int ai, width;
    if (argument < 24) return _cbor_generator_write_byte(generator, mt | (int)argument);
    if (argument <= 0xff) {
        ai = 24, width = 1;
    } else if (argument <= 0xffff) {
        ai = 25, width = 2;
    } else if (argument <= 0xffffffffu) {
        ai = 26, width = 4;
    } else {
        ai = 27, width = 8;
    }
    if (_cbor_generator_write_byte(generator, mt | ai) < 0) return -1;
    return write_be(generator, argument, width);
}

int _cbor_write_uint_sized(cbor_generator *generator, int initial_byte, uint64_t value) {
    static const int widths[4] = {1, 2, 4, 8};
    int ai = initial_byte & 0x1f;
    if (ai >= 24 && ai <= 27) {
        if (_cbor_generator_write_byte(generator, initial_byte) < 0) return -1;
        return write_be(generator, value, widths[ai - 24]);
    }
    return _cbor_generator_write_byte(generator, (int)(((uint64_t)initial_byte | value) & 0xff));
}

int cbor_write_uint(cbor_generator *generator, uint64_t value) {
    return _cbor_write_uint_helper(generator, 0, value);
}

int cbor_write_negint(cbor_generator *generator, int64_t value) {
    return _cbor_write_uint_helper(generator, 1, ~(uint64_t)value);
}

int cbor_write_byte_string(cbor_generator *generator, const void *source, size_t length) {
    return write_string(generator, 2, source, length);
}

int cbor_write_text_string(cbor_generator *generator, const char *source, size_t length) {
    return write_string(generator, 3, source, length);
}

int cbor_write_array(cbor_generator *generator, size_t count) {
    return write_head(generator, 4, count);
}

int cbor_write_map(cbor_generator *generator, size_t pairs) {
    return write_head(generator, 5, pairs);
}

int cbor_write_false(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xf4); }
int cbor_write_true(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xf5); }
int cbor_write_null(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xf6); }
int cbor_write_undefined(cbor_generator *generator) {
    return _cbor_generator_write_byte(generator, 0xf7);
}
int cbor_write_break(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xff); }

int cbor_write_float32(cbor_generator *generator, double value) {
    float single = (float)value;  // current rounding mode
    uint32_t bits;
    std::memcpy(&bits, &single, sizeof bits);
    if (_cbor_generator_write_byte(generator, 0xfa) < 0 || write_be(generator, bits, 4) < 0) return -1;
    return 1;
}

int cbor_write_float64(cbor_generator *generator, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (_cbor_generator_write_byte(generator, 0xfb) < 0 || write_be(generator, bits, 8) < 0) return -1;
    return 1;
}

}  // extern "C"
