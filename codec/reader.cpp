// Table-driven reader: one item per call, heads only for arrays, maps and tags.
#include "cbor.h"
#include "reader_inline.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using cbor_inline::read_argument;
using cbor_inline::remaining;

// Argument in the initial byte (width 0) or in the bytes after it.
int32_t argument(cbor_parser *p, uint64_t *out, int width) {
    if (width > 0) return read_argument(p, out, width);
    if (remaining(p) < 1) return -1;
    *out = *p->cursor & 0x1f;
    p->cursor += 1;
    return 0;
}

int32_t negint(cbor_parser *p, cbor_val *v, int width) {
    if (argument(p, &v->value.uint, width) < 0) return -1;
    v->value.uint = ~v->value.uint;
    return 0;
}

int32_t count(cbor_parser *p, cbor_val *v, int width) {
    uint64_t n;
    if (argument(p, &n, width) < 0) return -1;
    v->length = n;
    return 0;
}

// Definite string: the content is copied; text gets a terminating 0.
int32_t string(cbor_parser *p, cbor_val *v, int width, bool text) {
    uint64_t n;
    if (argument(p, &n, width) < 0) return -1;
    v->length = n;
    if (n > remaining(p)) return -1;
    size_t size = (size_t)n + (text ? 1 : 0);
    unsigned char *copy = static_cast<unsigned char *>(std::malloc(size ? size : 1));
    if (!copy) return -1;
    if (n) std::memcpy(copy, p->cursor, (size_t)n);
    if (text) copy[n] = 0;
    v->value.data = copy;
    p->cursor += n;
    return 0;
}

int32_t indefinite(cbor_parser *p, cbor_val *v) {
    if (remaining(p) < 1) return -1;
    v->length = UINT64_MAX;
    p->indefinite = 1;
    p->cursor += 1;
    return 0;
}

// Items known by their initial byte alone.
int32_t skip(cbor_parser *p) {
    if (remaining(p) < 1) return -1;
    p->cursor += 1;
    return 0;
}

}  // namespace

extern "C" {

cbor_parser *cbor_parser_create(const unsigned char *data, uint64_t size) {
    cbor_parser *p = static_cast<cbor_parser *>(std::calloc(1, sizeof(cbor_parser)));
    if (!p) return nullptr;
    p->start = data;
    p->size = size;
    p->cursor = data;
    return p;
}

void cbor_parser_free(cbor_parser *parser) { std::free(parser); }

int32_t cbor_parser_available_bytes(const cbor_parser *parser) {
    uint64_t n = remaining(parser);
    return n > INT32_MAX ? INT32_MAX : (int32_t)n;
}

cbor_val *cbor_val_create(void) { return static_cast<cbor_val *>(std::calloc(1, sizeof(cbor_val))); }

void cbor_val_free(cbor_val *val) {
    if (!val) return;
    if (val->major_type == 2 || val->major_type == 3) std::free(val->value.data);
    std::free(val);
}

cbor_val *cbor_next_val(cbor_parser *parser) {
    if (remaining(parser) == 0) return nullptr;
    unsigned char initial = *parser->cursor;
    cbor_parse_handler handler = cbor_jump_table[initial];
    cbor_val *val = static_cast<cbor_val *>(std::calloc(1, sizeof(cbor_val)));
    if (!val) return nullptr;
    val->initial_byte = initial;
    val->major_type = initial >> 5;
    if (handler(parser, val) == -1) {
        cbor_val_free(val);
        return nullptr;
    }
    return val;
}

int32_t cbor_parse_uint_small(cbor_parser *p, cbor_val *v) { return argument(p, &v->value.uint, 0); }
int32_t cbor_parse_uint8(cbor_parser *p, cbor_val *v) { return argument(p, &v->value.uint, 1); }
int32_t cbor_parse_uint16(cbor_parser *p, cbor_val *v) { return argument(p, &v->value.uint, 2); }
int32_t cbor_parse_uint32(cbor_parser *p, cbor_val *v) { return argument(p, &v->value.uint, 4); }
int32_t cbor_parse_uint64(cbor_parser *p, cbor_val *v) { return argument(p, &v->value.uint, 8); }

int32_t cbor_parse_negint_small(cbor_parser *p, cbor_val *v) { return negint(p, v, 0); }
int32_t cbor_parse_negint8(cbor_parser *p, cbor_val *v) { return negint(p, v, 1); }
int32_t cbor_parse_negint16(cbor_parser *p, cbor_val *v) { return negint(p, v, 2); }
int32_t cbor_parse_negint32(cbor_parser *p, cbor_val *v) { return negint(p, v, 4); }
int32_t cbor_parse_negint64(cbor_parser *p, cbor_val *v) { return negint(p, v, 8); }

int32_t cbor_parse_byte_string_small(cbor_parser *p, cbor_val *v) { return string(p, v, 0, false); }
int32_t cbor_parse_byte_string_uint8(cbor_parser *p, cbor_val *v) { return string(p, v, 1, false); }
int32_t cbor_parse_byte_string_uint16(cbor_parser *p, cbor_val *v) { return string(p, v, 2, false); }
int32_t cbor_parse_byte_string_uint32(cbor_parser *p, cbor_val *v) { return string(p, v, 4, false); }
int32_t cbor_parse_byte_string_uint64(cbor_parser *p, cbor_val *v) { return string(p, v, 8, false); }
int32_t cbor_parse_byte_string_indefinite(cbor_parser *p, cbor_val *v) { return indefinite(p, v); }

int32_t cbor_parse_text_string_small(cbor_parser *p, cbor_val *v) { return string(p, v, 0, true); }
int32_t cbor_parse_text_string_uint8(cbor_parser *p, cbor_val *v) { return string(p, v, 1, true); }
int32_t cbor_parse_text_string_uint16(cbor_parser *p, cbor_val *v) { return string(p, v, 2, true); }
int32_t cbor_parse_text_string_uint32(cbor_parser *p, cbor_val *v) { return string(p, v, 4, true); }
int32_t cbor_parse_text_string_uint64(cbor_parser *p, cbor_val *v) { return string(p, v, 8, true); }
int32_t cbor_parse_text_string_indefinite(cbor_parser *p, cbor_val *v) { return indefinite(p, v); }

int32_t cbor_parse_array_small(cbor_parser *p, cbor_val *v) { return count(p, v, 0); }
int32_t cbor_parse_array_uint8(cbor_parser *p, cbor_val *v) { return count(p, v, 1); }
int32_t cbor_parse_array_uint16(cbor_parser *p, cbor_val *v) { return count(p, v, 2); }
int32_t cbor_parse_array_uint32(cbor_parser *p, cbor_val *v) { return count(p, v, 4); }
int32_t cbor_parse_array_uint64(cbor_parser *p, cbor_val *v) { return count(p, v, 8); }
int32_t cbor_parse_array_indefinite(cbor_parser *p, cbor_val *v) { return indefinite(p, v); }

int32_t cbor_parse_map_small(cbor_parser *p, cbor_val *v) { return count(p, v, 0); }
int32_t cbor_parse_map_uint8(cbor_parser *p, cbor_val *v) { return count(p, v, 1); }
int32_t cbor_parse_map_uint16(cbor_parser *p, cbor_val *v) { return count(p, v, 2); }
int32_t cbor_parse_map_uint32(cbor_parser *p, cbor_val *v) { return count(p, v, 4); }
int32_t cbor_parse_map_uint64(cbor_parser *p, cbor_val *v) { return count(p, v, 8); }
int32_t cbor_parse_map_indefinite(cbor_parser *p, cbor_val *v) { return indefinite(p, v); }

int32_t cbor_parse_semantic_tag(cbor_parser *p, cbor_val *v) {
    if (remaining(p) < 1) return -1;
    int ai = *p->cursor & 0x1f;
    if (ai < 24) return skip(p);
    return read_argument(p, &v->value.uint, 1 << (ai - 24));
}

int32_t cbor_parse_unimplemented(cbor_parser *p, cbor_val *) {
    if (remaining(p) < 1) return -1;
    unsigned initial = *p->cursor;
    std::fprintf(stderr, "Unimplemented CBOR code: %02x\n", initial);
    p->cursor += 1;
    // 0xf8 carries its simple value in the next byte: it belongs to this item.
    if (initial == 0xf8) {
        if (remaining(p) < 1) return -1;
        p->cursor += 1;
    }
    return 0;
}

int32_t cbor_parse_false(cbor_parser *p, cbor_val *) { return skip(p); }
int32_t cbor_parse_true(cbor_parser *p, cbor_val *) { return skip(p); }
int32_t cbor_parse_null(cbor_parser *p, cbor_val *) { return skip(p); }
int32_t cbor_parse_undefined(cbor_parser *p, cbor_val *) { return skip(p); }
int32_t cbor_parse_reserved(cbor_parser *p, cbor_val *) { return skip(p); }

int32_t cbor_parse_break(cbor_parser *p, cbor_val *) {
    if (skip(p) < 0) return -1;
    p->indefinite = 0;
    return 0;
}

int32_t cbor_parse_float16(cbor_parser *p, cbor_val *v) { return cbor_inline::parse_float16(p, v); }
int32_t cbor_parse_float32(cbor_parser *p, cbor_val *v) { return cbor_inline::parse_float32(p, v); }
int32_t cbor_parse_float64(cbor_parser *p, cbor_val *v) { return cbor_inline::parse_float64(p, v); }

// The table: initial byte to handler, grouped by major type.
#define X4(h) h, h, h, h
#define X8(h) X4(h), X4(h)
#define X16(h) X8(h), X8(h)
#define X24(h) X16(h), X8(h)

const cbor_parse_handler cbor_jump_table[256] = {
    // 0x00-0x1f: unsigned integers
    X24(cbor_parse_uint_small),
    cbor_parse_uint8, cbor_parse_uint16, cbor_parse_uint32, cbor_parse_uint64,
    X4(cbor_parse_reserved),
    // 0x20-0x3f: negative integers
    X24(cbor_parse_negint_small),
    cbor_parse_negint8, cbor_parse_negint16, cbor_parse_negint32, cbor_parse_negint64,
    X4(cbor_parse_reserved),
    // 0x40-0x5f: byte strings
    X24(cbor_parse_byte_string_small),
    cbor_parse_byte_string_uint8, cbor_parse_byte_string_uint16,
    cbor_parse_byte_string_uint32, cbor_parse_byte_string_uint64,
    cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    cbor_parse_byte_string_indefinite,
    // 0x60-0x7f: text strings
    X24(cbor_parse_text_string_small),
    cbor_parse_text_string_uint8, cbor_parse_text_string_uint16,
    cbor_parse_text_string_uint32, cbor_parse_text_string_uint64,
    cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    cbor_parse_text_string_indefinite,
    // 0x80-0x9f: arrays
    X24(cbor_parse_array_small),
    cbor_parse_array_uint8, cbor_parse_array_uint16, cbor_parse_array_uint32, cbor_parse_array_uint64,
    cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    cbor_parse_array_indefinite,
    // 0xa0-0xbf: maps
    X24(cbor_parse_map_small),
    cbor_parse_map_uint8, cbor_parse_map_uint16, cbor_parse_map_uint32, cbor_parse_map_uint64,
    cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    cbor_parse_map_indefinite,
    // 0xc0-0xdf: tags (0xd8-0xdb with the number in 1, 2, 4 or 8 bytes)
    X24(cbor_parse_semantic_tag),
    X4(cbor_parse_semantic_tag),
    X4(cbor_parse_reserved),
    // 0xe0-0xff: simple values, floats, break
    X16(cbor_parse_unimplemented), X4(cbor_parse_unimplemented),
    cbor_parse_false, cbor_parse_true, cbor_parse_null, cbor_parse_undefined,
    cbor_parse_unimplemented,
    cbor_parse_float16, cbor_parse_float32, cbor_parse_float64,
    cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,
    cbor_parse_break,
};

#undef X4
#undef X8
#undef X16
#undef X24

}  // extern "C"
