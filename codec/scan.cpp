// Where an item ends: a resumable well-formedness scan (RFC 8949 appendix C)
// of input that arrives in pieces. Heads are read by the reader's own head
// reading; string contents are counted, never looked at. The state is the
// open containers, so it grows with the nesting, not with the bytes.
#include "cbor.h"
#include "reader_inline.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace {

// An open container: definite ones count the items still to come (a map's
// pairs twice); indefinite maps know whether a key or a value comes next.
enum Level : uint32_t { kDefinite, kIndefiniteArray, kIndefiniteMapKey, kIndefiniteMapValue };

// What a head starts, by its initial byte.
enum Head : uint8_t {
    kWhole,            // an item complete in its head: integers, floats, simple values
    kSimpleByte,       // 0xf8: a simple value in the next byte, which must be 32 or more
    kString,           // definite byte or text string
    kChunked,          // indefinite byte or text string
    kArrayHead,
    kMapHead,
    kIndefiniteArrayHead,
    kIndefiniteMapHead,
    kTagHead,
    kBreakHead,
    kReserved,            // additional information 28-30
    kIndefiniteInteger,   // 0x1f, 0x3f
    kIndefiniteTag,       // 0xdf
};

struct HeadClass {
    uint8_t head;  // Head
    uint8_t size;  // bytes in the head
};

constexpr std::array<HeadClass, 256> classify() {
    std::array<HeadClass, 256> table{};
    for (unsigned initial = 0; initial < 256; ++initial) {
        unsigned major = initial >> 5, ai = initial & 0x1f;
        uint8_t head = kWhole;
        if (ai >= 28 && ai <= 30) {
            head = kReserved;
        } else if (major <= 1) {
            head = ai == 31 ? kIndefiniteInteger : kWhole;
        } else if (major <= 3) {
            head = ai == 31 ? kChunked : kString;
        } else if (major == 4) {
            head = ai == 31 ? kIndefiniteArrayHead : kArrayHead;
        } else if (major == 5) {
            head = ai == 31 ? kIndefiniteMapHead : kMapHead;
        } else if (major == 6) {
            head = ai == 31 ? kIndefiniteTag : kTagHead;
        } else {
            head = ai == 31 ? kBreakHead : ai == 24 ? kSimpleByte : kWhole;
        }
        table[initial] = HeadClass{head, (uint8_t)cbor_inline::head_size(initial)};
    }
    return table;
}
constexpr std::array<HeadClass, 256> kHeads = classify();

constexpr size_t kFirstLevels = 16;
constexpr const char *kTooLarge = "the item is larger than the size limit";

void start(cbor_scan *s) {
    s->status = CBOR_SCAN_MORE;
    s->size = s->skip = 0;
    s->need = 1;
    s->error_offset = 0;
    s->reason = nullptr;
    s->depth = 0;
    s->head_have = s->head_size = s->chunks = s->tagged = 0;
}

// The state that changes at every head, held in locals while a piece is
// scanned and written back when the call returns: kept in the record, every
// store through a byte pointer would make the compiler reload it.
struct Run {
    cbor_scan *s;
    uint64_t skip;
    size_t depth;
    cbor_scan_level *levels;
    uint8_t chunks, tagged;

    explicit Run(cbor_scan *scan)
        : s(scan), skip(scan->skip), depth(scan->depth), levels(scan->levels), chunks(scan->chunks),
          tagged(scan->tagged) {}

    void save() {
        s->skip = skip;
        s->depth = depth;
        s->chunks = chunks;
        s->tagged = tagged;
    }

    // An item ended: so do the definite containers it was the last item of.
    // True when it was the outermost item.
    bool close_item() {
        while (depth) {
            cbor_scan_level &level = levels[depth - 1];
            if (level.kind != kDefinite) {
                level.kind ^= level.kind >> 1;  // a map's key, then its value; any number of array items
                return false;
            }
            if (--level.remaining) return false;
            --depth;
        }
        return true;
    }

    bool open_container(uint32_t kind, uint64_t remaining) {
        if (depth == s->capacity) {
            if (s->capacity > SIZE_MAX / 2 / sizeof(cbor_scan_level)) return false;
            size_t capacity = s->capacity * 2;
            void *grown = std::realloc(levels, capacity * sizeof(cbor_scan_level));
            if (!grown) return false;
            s->levels = levels = static_cast<cbor_scan_level *>(grown);
            s->capacity = capacity;
        }
        levels[depth++] = cbor_scan_level{remaining, kind};
        return true;
    }
};

}  // namespace

extern "C" {

cbor_scan *cbor_scan_create(uint64_t max_size, uint64_t max_depth) {
    cbor_scan *s = static_cast<cbor_scan *>(std::calloc(1, sizeof(cbor_scan)));
    if (!s) return nullptr;
    s->levels = static_cast<cbor_scan_level *>(std::malloc(kFirstLevels * sizeof(cbor_scan_level)));
    if (!s->levels) {
        std::free(s);
        return nullptr;
    }
    s->capacity = kFirstLevels;
    s->max_size = max_size;
    s->max_depth = max_depth;
    start(s);
    return s;
}

void cbor_scan_free(cbor_scan *scan) {
    if (!scan) return;
    std::free(scan->levels);
    std::free(scan);
}

void cbor_scan_reset(cbor_scan *scan) { start(scan); }

int cbor_scan_feed(cbor_scan *s, const unsigned char *data, size_t size, size_t *used) {
    *used = 0;
    if (s->status < 0) return s->status;
    if (s->status == CBOR_SCAN_DONE) start(s);
    const unsigned char *p = data, *const end = data + size;
    // Every byte taken moves p: the item's size is before + (p - data). The
    // size limit leaves `room` bytes from data on, so no head may pass `limit`.
    const uint64_t before = s->size;
    const bool limited = s->max_size != 0;
    const uint64_t room = limited ? s->max_size - before : UINT64_MAX;
    const unsigned char *const limit = room < size ? data + room : end;
    const uint64_t max_depth = s->max_depth ? s->max_depth : UINT64_MAX;
    Run run(s);
    // Exits, by goto (no closures: they would keep p out of a register).
    int status;
    uint64_t need = 0, at = 0;
    const char *reason = nullptr;
#define SCAN_FAIL(code, offset, why) \
    do {                             \
        status = code;               \
        at = offset;                 \
        reason = why;                \
        goto out;                    \
    } while (0)
#define SCAN_WAIT(bytes)   \
    do {                   \
        need = bytes;      \
        goto wait;         \
    } while (0)
#define SCAN_DONE()              \
    do {                         \
        status = CBOR_SCAN_DONE; \
        goto out;                \
    } while (0)
// String content: passed, or the piece ends first and run.skip keeps the rest.
#define SCAN_PASS(bytes)                                    \
    do {                                                    \
        uint64_t n_ = bytes;                                \
        if (n_ > (uint64_t)(end - p)) {                     \
            run.skip = n_ - (uint64_t)(end - p);            \
            p = end;                                        \
            SCAN_WAIT(run.skip);                            \
        }                                                   \
        p += n_;                                            \
    } while (0)

    unsigned char initial;
    uint64_t arg = 0;
    size_t head;
    HeadClass kind;
    if (run.skip) {
        uint64_t rest = run.skip;
        run.skip = 0;
        SCAN_PASS(rest);
        if (!run.chunks && run.close_item()) SCAN_DONE();
    }
    if (s->head_have) {
        // A head split between pieces, gathered (its size was checked against the limit).
        size_t take = std::min<size_t>(s->head_size - s->head_have, (size_t)(end - p));
        std::memcpy(s->head + s->head_have, p, take);
        p += take;
        s->head_have += (uint8_t)take;
        if (s->head_have < s->head_size) SCAN_WAIT(s->head_size - s->head_have);
        cbor_parser in{s->head, s->head_size, s->head, 0};
        cbor_inline::read_head(&in, &arg);
        initial = s->head[0];
        kind = kHeads[initial];
        head = s->head_size;
        s->head_have = 0;
        goto dispatch;
    }
    for (;;) {
        if (p == limit) {
            if (p == end) SCAN_WAIT(1);
            SCAN_FAIL(CBOR_SCAN_TOO_LARGE, before + (uint64_t)(p - data), kTooLarge);
        }
        initial = *p;
        kind = kHeads[initial];
        head = kind.size;
        if ((size_t)(limit - p) < head) {
            if (limited && head > room - (uint64_t)(p - data)) {
                SCAN_FAIL(CBOR_SCAN_TOO_LARGE, before + (uint64_t)(p - data), kTooLarge);
            }
            size_t have = (size_t)(end - p);
            std::memcpy(s->head, p, have);
            s->head_have = (uint8_t)have;
            s->head_size = (uint8_t)head;
            p = end;
            SCAN_WAIT(head - have);
        }
        if (head > 1) {
            cbor_parser in{p, (uint64_t)(end - p), p, 0};
            cbor_inline::read_head(&in, &arg);
        } else {
            arg = initial & 0x1f;
        }
        p += head;

    dispatch:
#define SCAN_AT (before + (uint64_t)(p - data) - head)  // the head's offset in the item
        if (run.chunks) {
            if (kind.head == kBreakHead) {
                run.chunks = 0;
                if (run.close_item()) SCAN_DONE();
                continue;
            }
            if (kind.head != kString || initial >> 5 != run.chunks) {
                SCAN_FAIL(CBOR_SCAN_MALFORMED, SCAN_AT,
                          "a chunk of an indefinite-length string is not a definite-length string of its type");
            }
            if (limited && arg > room - (uint64_t)(p - data)) SCAN_FAIL(CBOR_SCAN_TOO_LARGE, SCAN_AT, kTooLarge);
            SCAN_PASS(arg);
            continue;
        }
        // An item starts here, or a break ends a container.
        if (kind.head != kBreakHead && run.depth > max_depth) {
            SCAN_FAIL(CBOR_SCAN_TOO_DEEP, SCAN_AT, "an item nested deeper than the depth limit");
        }
        if (run.tagged && kind.head == kBreakHead) {
            SCAN_FAIL(CBOR_SCAN_MALFORMED, SCAN_AT, "a break where a tag's content was expected");
        }
        run.tagged = 0;
        switch (kind.head) {
        case kWhole:
            break;
        case kBreakHead: {
            uint32_t level = run.depth ? run.levels[run.depth - 1].kind : kDefinite;
            if (level != kIndefiniteArray && level != kIndefiniteMapKey) {
                SCAN_FAIL(CBOR_SCAN_MALFORMED, SCAN_AT,
                          level == kIndefiniteMapValue ? "a break where a map value was expected"
                                                       : "a break outside an indefinite-length item");
            }
            --run.depth;
            break;
        }
        case kString:
            if (limited && arg > room - (uint64_t)(p - data)) SCAN_FAIL(CBOR_SCAN_TOO_LARGE, SCAN_AT, kTooLarge);
            SCAN_PASS(arg);
            break;
        case kArrayHead:
        case kMapHead:
            if (!arg) break;
            // Every item takes a byte at the least.
            if (limited && arg > (room - (uint64_t)(p - data)) / (kind.head == kMapHead ? 2 : 1)) {
                SCAN_FAIL(CBOR_SCAN_TOO_LARGE, SCAN_AT, kTooLarge);
            }
            // A map's items are counted twice its pairs; past 2**63 pairs (more
            // than any input holds) the count stops growing.
            if (kind.head == kMapHead) arg = arg > UINT64_MAX / 2 ? UINT64_MAX : arg * 2;
            if (!run.open_container(kDefinite, arg)) SCAN_FAIL(CBOR_SCAN_NO_MEMORY, SCAN_AT, "out of memory");
            continue;
        case kIndefiniteArrayHead:
        case kIndefiniteMapHead:
            if (!run.open_container(kind.head == kIndefiniteArrayHead ? kIndefiniteArray : kIndefiniteMapKey, 0)) {
                SCAN_FAIL(CBOR_SCAN_NO_MEMORY, SCAN_AT, "out of memory");
            }
            continue;
        case kChunked:
            run.chunks = (uint8_t)(initial >> 5);
            continue;
        case kTagHead:
            run.tagged = 1;
            continue;
        case kSimpleByte:
            if (arg < 32) SCAN_FAIL(CBOR_SCAN_MALFORMED, SCAN_AT, "a simple value below 32 written in two bytes");
            break;
        case kReserved:
            SCAN_FAIL(CBOR_SCAN_MALFORMED, SCAN_AT, "reserved additional information (28-30)");
        case kIndefiniteInteger:
            SCAN_FAIL(CBOR_SCAN_MALFORMED, SCAN_AT, "an integer with an indefinite length");
        default:
            SCAN_FAIL(CBOR_SCAN_MALFORMED, SCAN_AT, "a tag with an indefinite length");
        }
        if (run.close_item()) SCAN_DONE();
#undef SCAN_AT
    }

wait:
    // An item that needs more than the limit leaves is refused now.
    if (limited && need > room - (uint64_t)(p - data)) {
        status = CBOR_SCAN_TOO_LARGE;
        at = before + (uint64_t)(p - data);
        reason = kTooLarge;
    } else {
        status = CBOR_SCAN_MORE;
        s->need = need;
    }
out:
    run.save();
    *used = (size_t)(p - data);
    s->size = before + *used;
    s->status = status;
    if (status < 0) {
        s->error_offset = at;
        s->reason = reason;
    }
    return status;
#undef SCAN_FAIL
#undef SCAN_WAIT
#undef SCAN_DONE
#undef SCAN_PASS
}

}  // extern "C"
