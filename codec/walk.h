// A walk over CBOR items in document order, for code inside this library
// that looks at how items were written rather than at their values: the
// diagnostic notation writer and the well-formedness, validity and
// determinism checks. Nesting is kept on a heap stack of its own, so any
// depth the input holds is walked without recursion.
#ifndef VANTRA_CBOR_WALK_H
#define VANTRA_CBOR_WALK_H

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "cbor.h"
#include "reader_inline.h"
#include "writer_inline.h"

namespace cbor_walk {

// What a frame is walking.
enum Kind : uint8_t { kTop, kArray, kMap, kTag, kByteChunks, kTextChunks, kEmbedded };

// One item's head, as read.
struct Head {
    const unsigned char *at;    // its initial byte
    unsigned major, ai;         // major type, additional information
    uint64_t argument;          // value, length, count, tag number, simple value or float bits
    const unsigned char *data;  // a definite string's content (argument bytes)
};

struct Frame {
    Kind kind;
    bool indefinite;
    uint64_t left;             // items still to come in a definite array or map (2 per pair)
    uint64_t index;            // items seen so far
    Head head;                 // the container's own head
    const unsigned char *end;  // kEmbedded: the end of the enclosing range, restored on close
};

// What a visitor's string() may answer: walk into a byte string's content as
// one embedded item (the visitor has made sure it is one well-formed item).
const int kDescend = 1;

// Fills fault: found 1 (malformed) or 2 (the input ends inside an item).
inline void set_fault(cbor_fault *fault, int found, uint64_t offset, const char *format, ...) {
    if (!fault) return;
    fault->found = found;
    fault->offset = offset;
    fault->line = fault->column = 0;
    va_list args;
    va_start(args, format);
    std::vsnprintf(fault->message, sizeof fault->message, format, args);
    va_end(args);
}

// A growable stack of trivially copyable records (frames, key ranges).
template <class T>
struct Stack {
    T *items = nullptr;
    size_t size = 0, room = 0;
    Stack() = default;
    Stack(const Stack &) = delete;
    Stack &operator=(const Stack &) = delete;
    ~Stack() { std::free(items); }
    bool push(const T &item) {
        if (size == room) {
            void *block = items;
            if (!cbor_inline::grow_block(&block, &room, size, 1, sizeof(T), 16)) return false;
            items = static_cast<T *>(block);
        }
        items[size++] = item;
        return true;
    }
    T &top() { return items[size - 1]; }
    T &operator[](size_t i) { return items[i]; }
};

// Return codes of walk().
const int kOk = 0, kMalformed = -1, kNoMemory = -2;

// Walks [data, data + size): one item, or with sequence any number of them.
// The visitor V has:
//   int item(const Frame &parent, const unsigned char *at)  before each item
//   int scalar(const Head &)   integers, simple values and floats
//   int string(const Head &, const Frame &parent)  a definite string (chunks too)
//   int open(const Frame &)    arrays, maps, tags and indefinite strings
//   int close(const Frame &)   their end (after the break, if any)
// each returning 0 to go on or kNoMemory to stop; string() may also return
// kDescend. Malformed input stops the walk with fault filled in.
template <class V>
int walk(const unsigned char *data, size_t size, bool sequence, V &visitor, cbor_fault *fault) {
    using cbor_inline::read_argument;
    using cbor_inline::read_head;
    const unsigned char *end = data + size;
    cbor_parser in{data, size, data, 0};
    Stack<Frame> frames;
    if (!frames.push(Frame{kTop, sequence, 0, 0, Head{}, end})) return kNoMemory;
    int status;
#define WALK_FAIL(found, at, ...) \
    return set_fault(fault, found, (uint64_t)((at) - data), __VA_ARGS__), kMalformed
#define WALK_CALL(call)                          \
    if ((status = (call)) < 0) return status
    for (;;) {
        Frame &f = frames.top();
        const unsigned char *at = in.cursor;
        // Has the frame on top seen all its items?
        bool done;
        switch (f.kind) {
        case kTop:
            if (at == end) {
                if (!sequence && f.index == 0) WALK_FAIL(2, at, "empty input: no CBOR item");
                return kOk;
            }
            if (!sequence && f.index == 1) WALK_FAIL(1, at, "extra data after the CBOR item");
            done = false;
            break;
        case kTag:
            done = f.index == 1;
            break;
        case kEmbedded:
            done = f.index == 1;
            break;
        default:
            if (f.indefinite) {
                if (at == end) {
                    const char *what = f.kind == kArray ? "array" : f.kind == kMap ? "map"
                                     : f.kind == kByteChunks ? "byte string" : "text string";
                    WALK_FAIL(2, at, "input ends inside an indefinite-length %s", what);
                }
                done = *at == 0xff;
                if (done && f.kind == kMap && (f.index & 1)) WALK_FAIL(1, at, "break between a map key and its value");
                if (done) in.cursor += 1;
            } else {
                done = f.left == 0;
            }
        }
        if (done) {
            if (f.kind == kEmbedded) {
                in.cursor = f.head.data + f.head.argument;
                end = f.end;
                in.size = (uint64_t)(end - data);
            }
            Frame closed = f;
            frames.size -= 1;
            WALK_CALL(visitor.close(closed));
            frames.top().index += 1;
            if (!frames.top().indefinite) frames.top().left -= frames.top().kind == kTop ? 0 : 1;
            continue;
        }
        WALK_CALL(visitor.item(f, at));
        if (at == end) WALK_FAIL(2, at, "input ends where an item was expected");
        Head h{at, (unsigned)*at >> 5, (unsigned)*at & 0x1f, 0, nullptr};
        bool chunks = f.kind == kByteChunks || f.kind == kTextChunks;
        if (chunks && (h.major != (f.kind == kByteChunks ? 2u : 3u) || h.ai == 31)) {
            const char *what = f.kind == kByteChunks ? "byte string" : "text string";
            WALK_FAIL(1, at, "a chunk of an indefinite-length %s must be a definite-length %s", what, what);
        }
        if (h.ai == 31 && h.major >= 2 && h.major <= 5) {
            in.cursor += 1;
            Kind kind = h.major == 2 ? kByteChunks : h.major == 3 ? kTextChunks : h.major == 4 ? kArray : kMap;
            if (!frames.push(Frame{kind, true, 0, 0, h, nullptr})) return kNoMemory;
            WALK_CALL(visitor.open(frames.top()));
            continue;
        }
        if (h.major == 7 && h.ai != 24) {
            if (h.ai < 24) {
                h.argument = h.ai;
                in.cursor += 1;
            } else if (h.ai <= 27) {
                if (read_argument(&in, &h.argument, 1 << (h.ai - 24)) < 0) {
                    in.cursor = at;
                    WALK_FAIL(2, at, "input ends inside a float");
                }
            } else if (h.ai < 31) {
                WALK_FAIL(1, at, "reserved additional information %u", h.ai);
            } else {
                WALK_FAIL(1, at, "break outside an indefinite-length item");
            }
            WALK_CALL(visitor.scalar(h));
        } else {
            if (read_head(&in, &h.argument) < 0) {
                in.cursor = at;
                if (h.ai >= 28 && h.ai <= 30) WALK_FAIL(1, at, "reserved additional information %u", h.ai);
                if (h.ai == 31) {
                    WALK_FAIL(1, at, h.major == 6 ? "indefinite length is not allowed for a tag"
                                                  : "indefinite length is not allowed for an integer");
                }
                WALK_FAIL(2, at, "input ends inside the head of an item");
            }
            uint64_t left = (uint64_t)(end - in.cursor);
            switch (h.major) {
            case 0:
            case 1:
                WALK_CALL(visitor.scalar(h));
                break;
            case 2:
            case 3:
                if (h.argument > left) {
                    WALK_FAIL(2, at, "%s string of %llu bytes cannot fit in the bytes left (%llu)",
                              h.major == 2 ? "byte" : "text", (unsigned long long)h.argument,
                              (unsigned long long)left);
                }
                h.data = in.cursor;
                in.cursor += h.argument;
                status = visitor.string(h, f);
                if (status < 0) return status;
                if (status == kDescend) {
                    if (!frames.push(Frame{kEmbedded, false, 1, 0, h, end})) return kNoMemory;
                    in.cursor = h.data;
                    end = h.data + h.argument;
                    in.size = (uint64_t)(end - data);
                    continue;
                }
                break;
            case 4:
            case 5:
                if (h.major == 4 ? h.argument > left : h.argument > left / 2) {
                    // Malformed rather than short where the bytes left cannot
                    // begin the container, as the stream readers' scan finds.
                    cbor_scan *scan = cbor_scan_create(0, 0);
                    if (!scan) return kNoMemory;
                    size_t used;
                    int scanned = cbor_scan_feed(scan, at, (size_t)(end - at), &used);
                    const unsigned char *fault_at = at + scan->error_offset;
                    const char *reason = scan->reason;
                    cbor_scan_free(scan);
                    if (scanned == CBOR_SCAN_NO_MEMORY) return kNoMemory;
                    if (scanned == CBOR_SCAN_MALFORMED) WALK_FAIL(1, fault_at, "%s", reason);
                    WALK_FAIL(2, at, "%s of %llu %s cannot fit in the bytes left (%llu)", h.major == 4 ? "array" : "map",
                              (unsigned long long)h.argument, h.major == 4 ? "items" : "pairs", (unsigned long long)left);
                }
                if (!frames.push(Frame{h.major == 4 ? kArray : kMap, false, h.major == 4 ? h.argument : h.argument * 2,
                                       0, h, nullptr})) {
                    return kNoMemory;
                }
                WALK_CALL(visitor.open(frames.top()));
                continue;
            case 6:
                if (!frames.push(Frame{kTag, false, 1, 0, h, nullptr})) return kNoMemory;
                WALK_CALL(visitor.open(frames.top()));
                continue;
            default:  // 0xf8: a simple value in the next byte
                if (h.argument < 32) WALK_FAIL(1, at, "simple value %u written in two bytes", (unsigned)h.argument);
                WALK_CALL(visitor.scalar(h));
            }
        }
        Frame &parent = frames.top();
        parent.index += 1;
        if (!parent.indefinite && parent.kind != kTop) parent.left -= 1;
    }
#undef WALK_FAIL
#undef WALK_CALL
}

// A visitor that only walks: well-formedness.
struct Nothing {
    int item(const Frame &, const unsigned char *) { return 0; }
    int scalar(const Head &) { return 0; }
    int string(const Head &, const Frame &) { return 0; }
    int open(const Frame &) { return 0; }
    int close(const Frame &) { return 0; }
};

// Whether [data, data + size) is exactly one well-formed item.
inline bool one_item(const unsigned char *data, size_t size) {
    Nothing nothing;
    return walk(data, size, false, nothing, nullptr) == kOk;
}

// Length of the valid UTF-8 sequence at s (before end), or 0: no overlong
// forms, surrogates or code points beyond U+10FFFF.
inline size_t utf8_sequence(const unsigned char *s, const unsigned char *end) {
    unsigned c = s[0];
    if (c < 0x80) return 1;
    size_t n;
    unsigned min_second = 0x80, max_second = 0xbf;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        if (c == 0xe0) min_second = 0xa0;
        if (c == 0xed) max_second = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        if (c == 0xf0) min_second = 0x90;
        if (c == 0xf4) max_second = 0x8f;
    } else {
        return 0;
    }
    if ((size_t)(end - s) < n || s[1] < min_second || s[1] > max_second) return 0;
    for (size_t i = 2; i < n; ++i) {
        if ((s[i] & 0xc0) != 0x80) return 0;
    }
    return n;
}

// The width a head's argument takes: 0 (in the initial byte), 1, 2, 4 or 8.
inline int argument_width(unsigned ai) { return ai < 24 ? 0 : 1 << (ai - 24); }

// The width the shortest head for argument takes.
inline int shortest_width(uint64_t argument) {
    return argument < 24 ? 0 : argument <= 0xff ? 1 : argument <= 0xffff ? 2 : argument <= 0xffffffffu ? 4 : 8;
}

}  // namespace cbor_walk

#endif  // VANTRA_CBOR_WALK_H
