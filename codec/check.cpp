// Whether CBOR is well-formed, valid (UTF-8 text, no duplicate map keys) and
// deterministically encoded (RFC 8949 section 4.2.1, with map keys in
// bytewise or in length-first order), naming the first byte at fault for each.
#include <algorithm>
#include <cstring>

#include "cbor.h"
#include "walk.h"

namespace {

using cbor_walk::Frame;
using cbor_walk::Head;
using cbor_walk::kNoMemory;

enum { kWellFormed, kValid, kBytewise, kLengthFirst };

// Keys are compared as values, not as written: each key is also written in a
// form of its own where every head has a fixed width (so a count is filled in
// where it was left room), strings are joined, and floats are doubles. Maps
// inside keys are compared pair by pair in their written order.
class Checker {
public:
    Checker(const unsigned char *data, cbor_fault *faults) : data_(data), faults_(faults) {}

    int item(const Frame &parent, const unsigned char *at) {
        in_key_ = keying();
        if (parent.kind == cbor_walk::kMap) {
            Open &map = opens_.top();
            if (parent.index & 1) {
                if (end_key(map, at) < 0) return kNoMemory;
            } else {
                map.key_at = at;
                map.key_form = form_.size;
                in_key_ = true;
            }
        }
        return 0;
    }

    int scalar(const Head &h) {
        if (h.major == 7) {
            if (h.ai >= 25 && h.ai <= 27) {
                float_rule(h);
                return in_key_ ? form(0xfb, widened(h)) : 0;
            }
            return in_key_ ? form(0xf8, h.argument) : 0;
        }
        head_rule(h);
        return in_key_ ? form((unsigned char)(h.major << 5), h.argument) : 0;
    }

    int string(const Head &h, const Frame &parent) {
        head_rule(h);
        if (h.major == 3) {
            const unsigned char *s = h.data, *end = s + h.argument;
            while (s < end) {
                size_t n = cbor_walk::utf8_sequence(s, end);
                if (!n) {
                    fault(kValid, h.at, "invalid UTF-8 in text string");
                    break;
                }
                s += n;
            }
        }
        if (parent.kind == cbor_walk::kTag && (parent.head.argument == 2 || parent.head.argument == 3) && h.major == 2 &&
            (h.argument <= 8 || h.data[0] == 0)) {
            core(parent.head.at, "bignum not in preferred form (an integer, or leading zero bytes)");
        }
        if (!in_key_) return 0;
        bool chunk = parent.kind == cbor_walk::kByteChunks || parent.kind == cbor_walk::kTextChunks;
        if (!chunk && form((unsigned char)(h.major << 5), h.argument) < 0) return kNoMemory;
        return append(h.data, (size_t)h.argument);
    }

    int open(const Frame &f) {
        if (f.indefinite) {
            core(f.head.at, "indefinite length");
        } else {
            head_rule(f.head);
        }
        Open entry{in_key_, f.kind == cbor_walk::kMap, form_.size, keys_.size, nullptr, 0};
        if (in_key_ && form((unsigned char)(f.head.major << 5), f.head.argument) < 0) return kNoMemory;
        if (!opens_.push(entry)) return kNoMemory;
        in_key_ = false;
        return 0;
    }

    int close(const Frame &f) {
        Open entry = opens_.top();
        opens_.size -= 1;
        if (entry.map) duplicates(entry);
        keys_.size = entry.keys;
        if (entry.in_key) {
            // The count of an indefinite container or the length of joined chunks.
            uint64_t count = f.kind == cbor_walk::kByteChunks || f.kind == cbor_walk::kTextChunks
                                 ? form_.size - entry.form - 9
                                 : f.index / (f.kind == cbor_walk::kMap ? 2 : 1);
            if (f.indefinite) cbor_inline::store64(&form_[entry.form + 1], count);
        } else {
            form_.size = entry.form;  // only keys keep their forms, until their map closes
        }
        return 0;
    }

private:
    struct Open {
        bool in_key;                 // the container is (inside) a map key
        bool map;
        size_t form;                 // where its form starts
        size_t keys;                 // its map's first key in keys_
        const unsigned char *key_at; // the key being read
        size_t key_form;
    };
    struct Key {
        const unsigned char *at, *end;  // as written
        size_t form, form_end;          // its form
    };
    const unsigned char *data_;  // offsets in faults count from here
    cbor_fault *faults_;
    cbor_walk::Stack<Open> opens_;
    cbor_walk::Stack<Key> keys_;
    cbor_walk::Stack<unsigned char> form_;
    bool in_key_ = false;

    bool keying() { return opens_.size && opens_.top().in_key; }

    void fault(int kind, const unsigned char *at, const char *message) {
        cbor_fault &f = faults_[kind];
        uint64_t offset = (uint64_t)(at - data_);
        if (f.found && f.offset <= offset) return;
        f.found = 1;
        f.offset = offset;
        std::snprintf(f.message, sizeof f.message, "%s", message);
    }
    void core(const unsigned char *at, const char *message) {
        fault(kBytewise, at, message);
        fault(kLengthFirst, at, message);
    }
    void head_rule(const Head &h) {
        if (h.ai >= 24 && cbor_walk::argument_width(h.ai) != cbor_walk::shortest_width(h.argument)) {
            core(h.at, "argument not in its shortest form");
        }
    }
    // Every float at the narrowest width that keeps its value (a NaN's payload too).
    void float_rule(const Head &h) {
        int width = 1 << (h.ai - 24);
        if (width == 2) return;
        uint64_t bits = h.argument;
        bool special = width == 4 ? (bits & 0x7f800000) == 0x7f800000 : (bits >> 52 & 0x7ff) == 0x7ff;
        bool narrower;
        if (special) {
            // Infinities fit a half; a NaN fits one when the bits it would lose are zero.
            narrower = width == 4 ? (bits & 0x1fff) == 0 : (bits & 0x1fffffff) == 0;
        } else {
            double value;
            uint64_t d = width == 4 ? cbor_inline::single_as_double((uint32_t)bits) : bits;
            std::memcpy(&value, &d, sizeof value);
            unsigned char item[9];
            narrower = (int)cbor_inline::shortest_float_item(value, item) < width + 1;
        }
        if (narrower) core(h.at, "float not in its shortest form");
    }

    // A float as a double's bits, NaN payloads kept.
    static uint64_t widened(const Head &h) {
        uint64_t bits = h.argument;
        if (h.ai == 25) {
            if ((bits & 0x7c00) == 0x7c00 && (bits & 0x3ff)) return (bits & 0x8000) << 48 | 0x7ff0000000000000 | (bits & 0x3ff) << 42;
            return cbor_inline::half_as_double(bits);
        }
        if (h.ai == 26) {
            if ((bits & 0x7f800000) == 0x7f800000 && (bits & 0x7fffff)) {
                return (bits & 0x80000000u) << 32 | 0x7ff0000000000000 | (bits & 0x7fffff) << 29;
            }
            return cbor_inline::single_as_double((uint32_t)bits);
        }
        return bits;
    }

    int form(unsigned char initial, uint64_t argument) {
        unsigned char head[9] = {initial};
        cbor_inline::store64(head + 1, argument);
        return append(head, 9);
    }
    int append(const unsigned char *bytes, size_t count) {
        if (count > form_.room - form_.size) {
            void *block = form_.items;
            if (!cbor_inline::grow_block(&block, &form_.room, form_.size, count, 1, 256)) return kNoMemory;
            form_.items = static_cast<unsigned char *>(block);
        }
        if (count) std::memcpy(form_.items + form_.size, bytes, count);
        form_.size += count;
        return 0;
    }

    // A key ends where its value starts: its order after the one before it.
    int end_key(Open &map, const unsigned char *at) {
        Key key{map.key_at, at, map.key_form, form_.size};
        if (keys_.size > map.keys) {
            Key &last = keys_.top();
            size_t a = (size_t)(last.end - last.at), b = (size_t)(key.end - key.at);
            int bytewise = std::memcmp(last.at, key.at, a < b ? a : b);
            if (bytewise == 0) bytewise = a < b ? -1 : a > b ? 1 : 0;
            if (bytewise >= 0) fault(kBytewise, key.at, "map keys not in bytewise order");
            if (a > b || (a == b && bytewise >= 0)) fault(kLengthFirst, key.at, "map keys not in length-first order");
        }
        return keys_.push(key) ? 0 : kNoMemory;
    }

    // Two keys of one map with the same value: the later one is at fault.
    void duplicates(const Open &map) {
        size_t first = map.keys, count = keys_.size - first;
        if (count < 2) return;
        Key *keys = &keys_[first];
        const unsigned char *forms = form_.items;
        auto less = [forms](const Key &x, const Key &y) {
            size_t a = x.form_end - x.form, b = y.form_end - y.form;
            int c = std::memcmp(forms + x.form, forms + y.form, a < b ? a : b);
            if (c) return c < 0;
            if (a != b) return a < b;
            return x.at < y.at;
        };
        // Sorting only the records: the forms stay where they are.
        std::sort(keys, keys + count, less);
        for (size_t i = 1; i < count; ++i) {
            const Key &x = keys[i - 1], &y = keys[i];
            if (x.form_end - x.form == y.form_end - y.form &&
                std::memcmp(forms + x.form, forms + y.form, x.form_end - x.form) == 0) {
                fault(kValid, y.at, "duplicate map key");
            }
        }
    }
};

// Stops the walk at the start of a second top-level item.
}  // namespace

// The scan that frames sequences, run over input that is all there.
extern "C" int cbor_item_size(const unsigned char *data, size_t size, uint64_t *item_size, cbor_fault *fault) {
    if (fault) fault->found = 0;
    cbor_scan *scan = cbor_scan_create(0, 0);
    if (!scan) return cbor_walk::kNoMemory;
    size_t used = 0;
    int status = cbor_scan_feed(scan, data, size, &used), result = 0;
    if (status == CBOR_SCAN_DONE) {
        *item_size = scan->size;
    } else if (status == CBOR_SCAN_MORE) {
        cbor_walk::set_fault(fault, 2, 0, "input ends inside the item that starts here");
        result = cbor_walk::kMalformed;
    } else if (status == CBOR_SCAN_NO_MEMORY) {
        result = cbor_walk::kNoMemory;
    } else {
        cbor_walk::set_fault(fault, 1, scan->error_offset, "%s", scan->reason);
        result = cbor_walk::kMalformed;
    }
    cbor_scan_free(scan);
    return result;
}

extern "C" int cbor_check(const unsigned char *data, size_t size, int sequence, cbor_fault faults[4]) {
    for (int i = 0; i < 4; ++i) std::memset(&faults[i], 0, sizeof faults[i]);
    Checker checker(data, faults);
    return cbor_walk::walk(data, size, sequence != 0, checker, &faults[kWellFormed]);
}
