// Output buffer and item writers: the exported face of writer_inline.h.
#include <cstdlib>
#include <cstring>

#include "cbor.h"
#include "writer_inline.h"

namespace cbor_inline {

#if defined(VANTRA_READ_WITHIN_PAGE)
bool copy_medium(unsigned char *to, const void *from) { return copy_fixed<kCopySlack>(to, from); }
#endif

// Geometric growth keeps appends amortised constant time. When doubling
// cannot be had, ever smaller steps are tried (each adds half the last one's
// extra room), and the exact size only last: near the memory limit a block
// still grows by a share of itself, so a call that runs out of memory fails
// after work in proportion to what it wrote. A failed realloc leaves the old
// block in place.
bool grow_block(void **block, size_t *room, size_t used, size_t count, size_t size, size_t least) {
    if (add_overflows(used, count)) return false;
    size_t needed = used + count;
    size_t grown = *room < least ? least : *room;
    while (grown < needed) grown = grown > SIZE_MAX / 2 ? needed : grown * 2;
    if (needed > SIZE_MAX / size) return false;
    if (grown > SIZE_MAX / size) grown = needed;
    for (size_t extra = grown - needed;; extra = extra / 2 < least ? 0 : extra / 2) {
        if (void *moved = std::realloc(*block, (needed + extra) * size)) {
            *block = moved;
            *room = needed + extra;
            return true;
        }
        if (extra == 0) return false;
    }
}

// data/length stay valid when it fails. Kept out of line: inlined into the
// writers, it was measured to slow them.
VANTRA_NOINLINE int grow(cbor_generator *g, size_t count) {
    void *block = g->data;
    if (!grow_block(&block, &g->capacity, g->length, count, 1, 64)) return -1;
    g->data = static_cast<unsigned char *>(block);
    return 0;
}

}  // namespace cbor_inline

namespace {

int write_float_bits(cbor_generator *g, unsigned char initial, uint64_t bits, int width) {
    unsigned char item[9] = {initial};
    if (width == 4) {
        cbor_inline::store32(item + 1, bits);
    } else {
        cbor_inline::store64(item + 1, bits);
    }
    return cbor_inline::append(g, item, 1 + (size_t)width) < 0 ? -1 : 1;
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
    return count == 0 ? 0 : cbor_inline::append(generator, source, count);
}

int _cbor_generator_write_byte(cbor_generator *generator, int byte) {
    return cbor_inline::write_byte(generator, (unsigned char)byte);
}

int _cbor_write_uint_helper(cbor_generator *generator, int major_type, uint64_t argument) {
    return cbor_inline::write_head(generator, major_type, argument);
}

// The caller chose the additional information: 24-27 take 1, 2, 4 or 8 argument
// bytes, anything else makes a single byte of initial | value.
int _cbor_write_uint_sized(cbor_generator *generator, int initial_byte, uint64_t value) {
    int ai = initial_byte & 0x1f;
    if (ai < 24 || ai > 27) return _cbor_generator_write_byte(generator, (int)(((uint64_t)initial_byte | value) & 0xff));
    unsigned char head[9] = {(unsigned char)initial_byte};
    int width = 1 << (ai - 24);
    for (int i = 0; i < width; ++i) head[1 + i] = (unsigned char)(value >> (8 * (width - 1 - i)));
    return cbor_inline::append(generator, head, 1 + (size_t)width);
}

int cbor_write_uint(cbor_generator *generator, uint64_t value) { return cbor_inline::write_uint(generator, value); }
int cbor_write_negint(cbor_generator *generator, int64_t value) {
    return cbor_inline::write_negint(generator, value);
}

int cbor_write_byte_string(cbor_generator *generator, const void *source, size_t length) {
    return cbor_inline::write_string(generator, 2, source, length);
}
int cbor_write_text_string(cbor_generator *generator, const char *source, size_t length) {
    return cbor_inline::write_string(generator, 3, source, length);
}

int cbor_write_array(cbor_generator *generator, size_t count) {
    return cbor_inline::write_counted_head(generator, 4, count);
}
int cbor_write_map(cbor_generator *generator, size_t pairs) {
    return cbor_inline::write_counted_head(generator, 5, pairs);
}

int cbor_write_false(cbor_generator *generator) { return cbor_inline::write_byte(generator, 0xf4); }
int cbor_write_true(cbor_generator *generator) { return cbor_inline::write_byte(generator, 0xf5); }
int cbor_write_null(cbor_generator *generator) { return cbor_inline::write_byte(generator, 0xf6); }
int cbor_write_undefined(cbor_generator *generator) { return cbor_inline::write_byte(generator, 0xf7); }
int cbor_write_break(cbor_generator *generator) { return cbor_inline::write_byte(generator, 0xff); }

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
