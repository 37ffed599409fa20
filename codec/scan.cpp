// Where an item ends: a resumable well-formedness scan (RFC 8949 appendix C)
// of input that arrives in pieces. Heads are read by the reader's own head
// reading; string contents are counted, never looked at. The state is the
// open containers, so it grows with the nesting, not with the bytes.
#include "cbor.h"
#include "reader_inline.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

enum Kind : uint32_t { kArray, kMapKey, kMapValue, kIndefiniteArray, kIndefiniteMapKey, kIndefiniteMapValue };

constexpr unsigned kIndefinite = 31;
constexpr unsigned char kBreak = 0xff;
constexpr size_t kFirstLevels = 16;

void start(cbor_scan *s) {
    s->status = CBOR_SCAN_MORE;
    s->size = s->skip = 0;
    s->need = 1;
    s->error_offset = 0;
    s->reason = nullptr;
    s->depth = 0;
    s->head_have = s->head_size = s->chunks = s->tagged = 0;
}

int fail(cbor_scan *s, int status, uint64_t at, const char *reason) {
    s->status = status;
    s->error_offset = at;
    s->reason = reason;
    return status;
}

// An item ended: so do the definite containers it was the last item of. True
// when it was the outermost item.
bool close_item(cbor_scan *s) {
    while (s->depth) {
        cbor_scan_level &level = s->levels[s->depth - 1];
        switch (level.kind) {
        case kMapKey:
            level.kind = kMapValue;
            return false;
        case kArray:
        case kMapValue:
            if (--level.remaining) {
                level.kind = level.kind == kMapValue ? kMapKey : kArray;
                return false;
            }
            --s->depth;
            break;
        case kIndefiniteMapKey:
            level.kind = kIndefiniteMapValue;
            return false;
        case kIndefiniteMapValue:
            level.kind = kIndefiniteMapKey;
            return false;
        default:  // an indefinite array takes any number of items
            return false;
        }
    }
    return true;
}

bool open_container(cbor_scan *s, uint32_t kind, uint64_t remaining) {
    if (s->depth == s->capacity) {
        if (s->capacity > SIZE_MAX / 2 / sizeof(cbor_scan_level)) return false;
        size_t capacity = s->capacity * 2;
        void *grown = std::realloc(s->levels, capacity * sizeof(cbor_scan_level));
        if (!grown) return false;
        s->levels = static_cast<cbor_scan_level *>(grown);
        s->capacity = capacity;
    }
    s->levels[s->depth++] = cbor_scan_level{remaining, kind};
    return true;
}

bool too_large(const cbor_scan *s, uint64_t bytes) { return s->max_size && bytes > s->max_size - s->size; }

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
    const unsigned char *p = data, *end = data + size;
    // Sets the outcome of a call that stops at p.
    auto stop = [&](int status) {
        *used = (size_t)(p - data);
        if (status == CBOR_SCAN_MORE && too_large(s, s->need)) {
            return fail(s, CBOR_SCAN_TOO_LARGE, s->size, "the item is larger than the size limit");
        }
        s->status = status;
        return status;
    };
    for (;;) {
        if (s->skip) {
            uint64_t take = std::min<uint64_t>(s->skip, (uint64_t)(end - p));
            p += take;
            s->skip -= take;
            s->size += take;
            if (s->skip) {
                s->need = s->skip;
                return stop(CBOR_SCAN_MORE);
            }
            if (!s->chunks && close_item(s)) return stop(CBOR_SCAN_DONE);
            continue;
        }

        // The next head: whole in this piece, or gathered from several.
        unsigned char initial;
        uint64_t arg = 0;
        size_t head;
        if (s->head_have) {
            size_t take = std::min<size_t>(s->head_size - s->head_have, (size_t)(end - p));
            std::memcpy(s->head + s->head_have, p, take);
            p += take;
            s->head_have += (uint8_t)take;
            s->size += take;
            if (s->head_have < s->head_size) {
                s->need = s->head_size - s->head_have;
                return stop(CBOR_SCAN_MORE);
            }
            cbor_parser in{s->head, s->head_size, s->head, 0};
            cbor_inline::read_head(&in, &arg);  // split heads carry an argument
            initial = s->head[0];
            head = s->head_size;
            s->head_have = 0;
        } else {
            if (p == end) {
                s->need = 1;
                return stop(CBOR_SCAN_MORE);
            }
            initial = *p;
            head = (size_t)cbor_inline::head_size(initial);
            if (too_large(s, head)) return stop(fail(s, CBOR_SCAN_TOO_LARGE, s->size, "the item is larger than the size limit"));
            if ((size_t)(end - p) < head) {
                size_t have = (size_t)(end - p);
                std::memcpy(s->head, p, have);
                s->head_have = (uint8_t)have;
                s->head_size = (uint8_t)head;
                s->size += have;
                p = end;
                s->need = head - have;
                return stop(CBOR_SCAN_MORE);
            }
            if (head > 1) {
                cbor_parser in{p, (uint64_t)(end - p), p, 0};
                cbor_inline::read_head(&in, &arg);
            } else if ((initial & 0x1f) < 24) {
                arg = initial & 0x1f;
            }
            p += head;
            s->size += head;
        }
        uint64_t at = s->size - head;
        unsigned major = initial >> 5, ai = initial & 0x1f;

        if (s->chunks) {
            if (initial == kBreak) {
                s->chunks = 0;
                if (close_item(s)) return stop(CBOR_SCAN_DONE);
                continue;
            }
            if (major != s->chunks || ai >= 28) {
                return stop(fail(s, CBOR_SCAN_MALFORMED, at,
                                 "a chunk of an indefinite-length string is not a definite-length string of its type"));
            }
            if (too_large(s, arg)) return stop(fail(s, CBOR_SCAN_TOO_LARGE, at, "the item is larger than the size limit"));
            s->skip = arg;
            continue;
        }
        if (initial == kBreak) {
            uint32_t kind = s->depth ? s->levels[s->depth - 1].kind : kArray;
            if (s->tagged || (kind != kIndefiniteArray && kind != kIndefiniteMapKey)) {
                return stop(fail(s, CBOR_SCAN_MALFORMED, at,
                                 s->tagged ? "a break where a tag's content was expected"
                                 : kind == kIndefiniteMapValue ? "a break where a map value was expected"
                                                               : "a break outside an indefinite-length item"));
            }
            --s->depth;
            if (close_item(s)) return stop(CBOR_SCAN_DONE);
            continue;
        }

        // An item starts here.
        if (s->max_depth && s->depth > s->max_depth) {
            return stop(fail(s, CBOR_SCAN_TOO_DEEP, at, "an item nested deeper than the depth limit"));
        }
        if (ai >= 28 && ai < kIndefinite) {
            return stop(fail(s, CBOR_SCAN_MALFORMED, at, "reserved additional information (28-30)"));
        }
        s->tagged = 0;
        bool opened = true;
        switch (major) {
        case 0:
        case 1:
            if (ai == kIndefinite) {
                return stop(fail(s, CBOR_SCAN_MALFORMED, at, "an integer with an indefinite length"));
            }
            break;
        case 2:
        case 3:
            if (ai == kIndefinite) {
                s->chunks = (uint8_t)major;
                continue;
            }
            if (too_large(s, arg)) return stop(fail(s, CBOR_SCAN_TOO_LARGE, at, "the item is larger than the size limit"));
            s->skip = arg;
            if (arg) continue;
            break;
        case 4:
            if (ai == kIndefinite) {
                opened = open_container(s, kIndefiniteArray, 0);
            } else if (arg) {
                // Every item takes a byte at the least.
                if (too_large(s, arg)) return stop(fail(s, CBOR_SCAN_TOO_LARGE, at, "the item is larger than the size limit"));
                opened = open_container(s, kArray, arg);
            } else {
                break;
            }
            if (!opened) return stop(fail(s, CBOR_SCAN_NO_MEMORY, at, "out of memory"));
            continue;
        case 5:
            if (ai == kIndefinite) {
                opened = open_container(s, kIndefiniteMapKey, 0);
            } else if (arg) {
                if (s->max_size && arg > (s->max_size - s->size) / 2) {
                    return stop(fail(s, CBOR_SCAN_TOO_LARGE, at, "the item is larger than the size limit"));
                }
                opened = open_container(s, kMapKey, arg);
            } else {
                break;
            }
            if (!opened) return stop(fail(s, CBOR_SCAN_NO_MEMORY, at, "out of memory"));
            continue;
        case 6:
            if (ai == kIndefinite) return stop(fail(s, CBOR_SCAN_MALFORMED, at, "a tag with an indefinite length"));
            s->tagged = 1;
            continue;
        default:
            if (ai == 24 && arg < 32) {
                return stop(fail(s, CBOR_SCAN_MALFORMED, at, "a simple value below 32 written in two bytes"));
            }
            break;
        }
        if (close_item(s)) return stop(CBOR_SCAN_DONE);
    }
}

}  // extern "C"
