// Output buffer and item writers. Each item is appended whole: the writer
// reserves room for all its bytes first, so a failed item leaves nothing behind.
#include "cbor.h"

#include <cstdlib>
#include <cstring>

namespace {

// Sizes never wrap: an append that would overflow length fails instead.
inline bool add_overflows(size_t a, size_t b) { return b > SIZE_MAX - a; }

// Grows the block geometrically, so appends cost amortised constant time.
// A failed realloc leaves the old block in place, so data/length stay valid.
__attribute__((noinline)) int grow(cbor_generator *g, size_t count) {
    if (add_overflows(g->length, count)) return -1;
    size_t needed = g->length + count;
    size_t capacity = g->capacity < 64 ? 64 : g->capacity;
    while (capacity < needed) capacity = capacity > SIZE_MAX / 2 ? needed : capacity * 2;
    void *grown = std::realloc(g->data, capacity);
    if (!grown && capacity > needed) grown = std::realloc(g->data, capacity = needed);
    if (!grown) return -1;
    g->data = static_cast<unsigned char *>(grown);
    g->capacity = capacity;
    return 0;
}

// Room for count more bytes after length.
inline int reserve(cbor_generator *g, size_t count) {
    return count <= g->capacity - g->length ? 0 : grow(g, count);
}

inline int append(cbor_generator *g, const void *source, size_t count) {
    if (!g || reserve(g, count) < 0) return -1;
    std::memcpy(g->data + g->length, source, count);
    g->length += count;
    return 0;
}

// The low 8 * width bits of value, most significant byte first.
inline void store_be(unsigned char *out, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out[i] = (unsigned char)(value >> (8 * (width - 1 - i)));
}

// Shortest head: the argument picks the width. Returns the head's size.
inline size_t encode_head(unsigned char *out, int major_type, uint64_t argument) {
    unsigned char mt = (unsigned char)((major_type & 7) << 5);
    if (argument < 24) {
        out[0] = (unsigned char)(mt | argument);
        return 1;
    }
    int ai = argument <= 0xff ? 24 : argument <= 0xffff ? 25 : argument <= 0xffffffffu ? 26 : 27;
    int width = 1 << (ai - 24);
    out[0] = (unsigned char)(mt | ai);
    store_be(out + 1, argument, width);
    return 1 + (size_t)width;
}

inline int write_head(cbor_generator *g, int major_type, uint64_t argument) {
    unsigned char head[9];
    return append(g, head, encode_head(head, major_type, argument));
}

// Indefinite-length heads carry additional information 31.
inline int write_counted_head(cbor_generator *g, int major_type, size_t count) {
    if (count == CBOR_INDEFINITE) {
        unsigned char initial = (unsigned char)((major_type << 5) | 31);
        return append(g, &initial, 1);
    }
    return write_head(g, major_type, count);
}

int write_string(cbor_generator *g, int major_type, const void *source, size_t length) {
    if (length == CBOR_INDEFINITE) return write_counted_head(g, major_type, length);
    unsigned char head[9];
    size_t head_size = encode_head(head, major_type, length);
    if (!g || add_overflows(head_size, length) || reserve(g, head_size + length) < 0) return -1;
    std::memcpy(g->data + g->length, head, head_size);
    if (length) std::memcpy(g->data + g->length + head_size, source, length);
    g->length += head_size + length;
    return 0;
}

inline int write_float_bits(cbor_generator *g, unsigned char initial, uint64_t bits, int width) {
    unsigned char item[9] = {initial};
    store_be(item + 1, bits, width);
    return append(g, item, 1 + (size_t)width) < 0 ? -1 : 1;
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
    return count == 0 ? 0 : append(generator, source, count);
}

int _cbor_generator_write_byte(cbor_generator *generator, int byte) {
    unsigned char b = (unsigned char)byte;
    return append(generator, &b, 1);
}

int _cbor_write_uint_helper(cbor_generator *generator, int major_type, uint64_t argument) {
    return write_head(generator, major_type, argument);
}

int _cbor_write_uint_sized(cbor_generator *generator, int initial_byte, uint64_t value) {
    int ai = initial_byte & 0x1f;
    if (ai < 24 || ai > 27) return _cbor_generator_write_byte(generator, (int)(((uint64_t)initial_byte | value) & 0xff));
    unsigned char head[9] = {(unsigned char)initial_byte};
    int width = 1 << (ai - 24);
    store_be(head + 1, value, width);
    return append(generator, head, 1 + (size_t)width);
}

int cbor_write_uint(cbor_generator *generator, uint64_t value) { return write_head(generator, 0, value); }

int cbor_write_negint(cbor_generator *generator, int64_t value) {
    return write_head(generator, 1, ~(uint64_t)value);
}

int cbor_write_byte_string(cbor_generator *generator, const void *source, size_t length) {
    return write_string(generator, 2, source, length);
}

int cbor_write_text_string(cbor_generator *generator, const char *source, size_t length) {
    return write_string(generator, 3, source, length);
}

int cbor_write_array(cbor_generator *generator, size_t count) { return write_counted_head(generator, 4, count); }
int cbor_write_map(cbor_generator *generator, size_t pairs) { return write_counted_head(generator, 5, pairs); }

int cbor_write_false(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xf4); }
int cbor_write_true(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xf5); }
int cbor_write_null(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xf6); }
int cbor_write_undefined(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xf7); }
int cbor_write_break(cbor_generator *generator) { return _cbor_generator_write_byte(generator, 0xff); }

int cbor_write_float32(cbor_generator *generator, double value) {
    float single = (float)value;  // current rounding mode
    uint32_t bits;
    std::memcpy(&bits, &single, sizeof bits);
    return write_float_bits(generator, 0xfa, bits, 4);
}

int cbor_write_float64(cbor_generator *generator, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return write_float_bits(generator, 0xfb, bits, 8);
}

}  // extern "C"
