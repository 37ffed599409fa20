/*
 * vantra_cbor codec: the whole exported C interface.
 *
 * Writers append one CBOR item (or one head) to a cbor_generator and return a
 * status: negative on failure (null generator, failed allocation), 0 on
 * success; the fixed-width float writers return 1, cbor_write_float returns 0
 * after NaN or an infinity and 1 after a finite value.
 *
 * The reader decodes one item at a time from a caller-owned byte range through
 * the 256-entry cbor_jump_table.
 *
 * The scan (cbor_scan_*) finds where an item ends without decoding it, in input
 * that may arrive in pieces: the framing of CBOR sequences (RFC 8742).
 *
 * A length or count of all ones (SIZE_MAX) selects an indefinite-length head.
 */
#ifndef VANTRA_CBOR_H
#define VANTRA_CBOR_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define CBOR_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define CBOR_EXPORT __attribute__((visibility("default")))
#else
#define CBOR_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define CBOR_INDEFINITE ((size_t)-1)

/* ---- Output buffer ----------------------------------------------------- */

typedef struct cbor_generator {
    unsigned char *data; /* every byte written so far; null until the first */
    size_t length;       /* bytes written */
    size_t capacity;     /* bytes allocated at data: room to grow without reallocating */
} cbor_generator;

/* A new empty generator, or null when it cannot be allocated. */
CBOR_EXPORT cbor_generator *cbor_generator_create(void);
/* Frees the bytes and the record; null is ignored. */
CBOR_EXPORT void cbor_generator_free(cbor_generator *generator);

/* Appends the low 8 bits of byte: 0, or -1. A failed append leaves nothing behind. */
CBOR_EXPORT int _cbor_generator_write_byte(cbor_generator *generator, int byte);
/* Appends count bytes from source: 0, or -1 (nothing appended). */
CBOR_EXPORT int _cbor_generator_write_bytes(cbor_generator *generator, const void *source,
                                            size_t count);

/* Appends the shortest head of major_type (low 3 bits) for argument: 0, or -1. */
CBOR_EXPORT int _cbor_write_uint_helper(cbor_generator *generator, int major_type,
                                        uint64_t argument);
/* Appends a head whose additional information the caller chose: 0, or -1. */
CBOR_EXPORT int _cbor_write_uint_sized(cbor_generator *generator, int initial_byte,
                                       uint64_t value);

/* ---- Item writers: 0, or -1 ------------------------------------------- */

CBOR_EXPORT int cbor_write_uint(cbor_generator *generator, uint64_t value);
/* value must be negative: writes major type 1 with argument -1 - value. */
CBOR_EXPORT int cbor_write_negint(cbor_generator *generator, int64_t value);
CBOR_EXPORT int cbor_write_byte_string(cbor_generator *generator, const void *source,
                                       size_t length);
CBOR_EXPORT int cbor_write_text_string(cbor_generator *generator, const char *source,
                                       size_t length);
/* Heads only: the caller writes count items (pairs * 2 for a map) after them. */
CBOR_EXPORT int cbor_write_array(cbor_generator *generator, size_t count);
CBOR_EXPORT int cbor_write_map(cbor_generator *generator, size_t pairs);
CBOR_EXPORT int cbor_write_false(cbor_generator *generator);
CBOR_EXPORT int cbor_write_true(cbor_generator *generator);
CBOR_EXPORT int cbor_write_null(cbor_generator *generator);
CBOR_EXPORT int cbor_write_undefined(cbor_generator *generator);
CBOR_EXPORT int cbor_write_break(cbor_generator *generator);
/* Fixed widths: 1, or -1. */
CBOR_EXPORT int cbor_write_float32(cbor_generator *generator, double value);
CBOR_EXPORT int cbor_write_float64(cbor_generator *generator, double value);
/* Narrowest exact width: 1 for a finite value, 0 for NaN or an infinity, -1. */
CBOR_EXPORT int cbor_write_float(cbor_generator *generator, double value);

/* ---- Reader ------------------------------------------------------------ */

typedef struct cbor_parser {
    const unsigned char *start;  /* first byte of the caller's range */
    uint64_t size;               /* bytes in the range */
    const unsigned char *cursor; /* next byte to read */
    int32_t indefinite;          /* 1 after an indefinite head, 0 after a break */
} cbor_parser;

typedef union cbor_val_value {
    uint64_t uint;       /* major type 0; complemented argument for major type 1 */
    double real;         /* 0xf9, 0xfa, 0xfb */
    unsigned char *data; /* owned copy of a byte or text string's content */
} cbor_val_value;

typedef struct cbor_val {
    uint8_t initial_byte;
    int32_t major_type; /* initial_byte >> 5 */
    cbor_val_value value;
    uint64_t length; /* string bytes, array items, map pairs; all ones if indefinite */
} cbor_val;

/* Reads one item into val: 0, or -1 when the range lacks the announced bytes. */
typedef int32_t (*cbor_parse_handler)(cbor_parser *parser, cbor_val *val);

/* A parser over [data, data + size), or null when it cannot be allocated. */
CBOR_EXPORT cbor_parser *cbor_parser_create(const unsigned char *data, uint64_t size);
/* Frees the record, never the range; null is ignored. */
CBOR_EXPORT void cbor_parser_free(cbor_parser *parser);
/* Bytes left after the cursor, INT32_MAX when more than that remain. */
CBOR_EXPORT int32_t cbor_parser_available_bytes(const cbor_parser *parser);
/* A zero-filled item record, or null. */
CBOR_EXPORT cbor_val *cbor_val_create(void);
/* Frees the string copy (major types 2 and 3) and the record; null is ignored. */
CBOR_EXPORT void cbor_val_free(cbor_val *val);
/* The item at the cursor, or null at the end of input or on a failed item. */
CBOR_EXPORT cbor_val *cbor_next_val(cbor_parser *parser);

CBOR_EXPORT extern const cbor_parse_handler cbor_jump_table[256];

/* Handlers, each reading the item whose initial byte is at the cursor. */
CBOR_EXPORT int32_t cbor_parse_uint_small(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_uint8(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_uint16(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_uint32(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_uint64(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_negint_small(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_negint8(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_negint16(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_negint32(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_negint64(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_byte_string_small(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_byte_string_uint8(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_byte_string_uint16(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_byte_string_uint32(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_byte_string_uint64(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_byte_string_indefinite(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_text_string_small(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_text_string_uint8(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_text_string_uint16(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_text_string_uint32(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_text_string_uint64(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_text_string_indefinite(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_array_small(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_array_uint8(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_array_uint16(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_array_uint32(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_array_uint64(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_array_indefinite(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_map_small(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_map_uint8(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_map_uint16(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_map_uint32(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_map_uint64(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_map_indefinite(cbor_parser *parser, cbor_val *val);
/* 0xc0-0xd7 carry nothing; 0xd8-0xdb keep the tag number in value. */
CBOR_EXPORT int32_t cbor_parse_semantic_tag(cbor_parser *parser, cbor_val *val);
/* Simple values without a writer: one line on standard error. */
CBOR_EXPORT int32_t cbor_parse_unimplemented(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_false(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_true(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_null(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_undefined(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_float16(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_float32(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_float64(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_break(cbor_parser *parser, cbor_val *val);
CBOR_EXPORT int32_t cbor_parse_reserved(cbor_parser *parser, cbor_val *val);

/* ---- Item boundaries ----------------------------------------------------- */

/* A resumable well-formedness scan that finds where one item ends, in input
 * that may arrive in pieces. It keeps no input bytes: its state grows with
 * the nesting depth only. cbor_scan_feed takes the item's next bytes and says
 * how many it took: on DONE up to the item's end, never past it; on an error
 * up to the end of the head at fault. After DONE the next call starts the
 * next item; an error stays until cbor_scan_reset. Its statuses: */
#define CBOR_SCAN_DONE 0         /* the item is complete */
#define CBOR_SCAN_MORE 1         /* every byte was taken; at least need more are needed */
#define CBOR_SCAN_MALFORMED (-1) /* not well-formed: the head at error_offset, for reason */
#define CBOR_SCAN_TOO_LARGE (-2) /* the item declares or reaches more than max_size bytes */
#define CBOR_SCAN_TOO_DEEP (-3)  /* an item at error_offset is nested deeper than max_depth */
#define CBOR_SCAN_NO_MEMORY (-4) /* the nesting state could not grow */

typedef struct cbor_scan_level {
    uint64_t remaining; /* items still to come in a definite container (a map's, twice its pairs) */
    uint32_t kind;      /* the scan's own */
} cbor_scan_level;

typedef struct cbor_scan {
    uint64_t max_size;     /* refuse items of more bytes than this; 0: no limit */
    uint64_t max_depth;    /* refuse items inside more containers than this; 0: no limit */
    uint64_t size;         /* bytes of the item taken so far (its size once DONE) */
    uint64_t need;         /* after MORE: the fewest further bytes that can complete the next
                              step, never more than the item still needs */
    uint64_t error_offset; /* after an error: where in the item the head at fault starts */
    const char *reason;    /* after an error: what is wrong (a static string) */
    /* The scan's own state. */
    int32_t status;
    uint64_t skip;              /* string bytes still to pass */
    cbor_scan_level *levels;    /* the open containers, innermost last */
    size_t depth, capacity;
    unsigned char head[9];      /* a head split between pieces */
    uint8_t head_have, head_size;
    uint8_t chunks;             /* major type of the indefinite string being read, else 0 */
    uint8_t tagged;             /* a tag was read: an item, not a break, must follow */
} cbor_scan;

/* A scan with the given limits (0: none), ready for an item; null when it cannot be allocated. */
CBOR_EXPORT cbor_scan *cbor_scan_create(uint64_t max_size, uint64_t max_depth);
/* Frees the scan; null is ignored. */
CBOR_EXPORT void cbor_scan_free(cbor_scan *scan);
/* Forgets the item in progress (or an error): the next byte fed starts an item. */
CBOR_EXPORT void cbor_scan_reset(cbor_scan *scan);
/* Scans data[0..size) as the item's next bytes: a status, with *used set to the bytes taken. */
CBOR_EXPORT int cbor_scan_feed(cbor_scan *scan, const unsigned char *data, size_t size, size_t *used);

/* ---- Diagnostic notation and checks ------------------------------------ */

/* Where and why input was refused, or a rule it breaks. */
typedef struct cbor_fault {
    int32_t found;    /* 0: none; 1: at offset; 2: the input ends inside an item */
    uint64_t offset;  /* byte of the input where the item or token at fault starts */
    uint64_t line;    /* text input: 1-based line of offset (0 for CBOR input) */
    uint64_t column;  /* text input: 1-based column of offset, in characters */
    uint64_t position; /* text input: offset in characters */
    char message[160];
} cbor_fault;

/* Appends the diagnostic notation (UTF-8) of the item in data, or with sequence
   of each item in turn, to out; indent >= 0 puts container members on lines of
   their own: 0, -1 for malformed input (fault filled in), -2 out of memory. */
CBOR_EXPORT int cbor_diag(cbor_generator *out, const unsigned char *data, size_t size, int indent,
                          int sequence, cbor_fault *fault);
/* Appends the CBOR that the diagnostic notation text (UTF-8) describes, one item
   or with sequence any number: 0, -1 for bad text (fault), -2 out of memory. */
CBOR_EXPORT int cbor_from_diag(cbor_generator *out, const char *text, size_t size, int sequence,
                               cbor_fault *fault);
/* The size of the well-formed item at data into *item_size: 0, -1 (fault), -2. */
CBOR_EXPORT int cbor_item_size(const unsigned char *data, size_t size, uint64_t *item_size,
                               cbor_fault *fault);
/* Checks the item (or sequence) in data, the first fault of each kind into
   faults: [0] well-formedness, [1] validity (UTF-8, duplicate map keys),
   [2] deterministic encoding with bytewise key order, [3] the same with
   length-first key order. 0 when well-formed, -1 when not, -2 out of memory. */
CBOR_EXPORT int cbor_check(const unsigned char *data, size_t size, int sequence, cbor_fault faults[4]);

#ifdef __cplusplus
}
#endif

#endif /* VANTRA_CBOR_H */
