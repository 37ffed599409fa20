// Inline writers for code inside this library. The exported writers are thin
// wrappers around these; the binding calls them directly on its hot path.
// Every item reserves room for all its bytes before writing any, so a failed
// item leaves nothing behind.
//
// The writers take any output G with cbor_generator's data, length and
// capacity fields, and a grow(G *, size_t) found for G's own type (for
// cbor_generator, the one declared below), so a caller may write into its own
// kind of output the same way.
#ifndef VANTRA_CBOR_WRITER_INLINE_H
#define VANTRA_CBOR_WRITER_INLINE_H

#include <cmath>
#include <cstring>

#include "cbor.h"
#include "portable.h"

namespace cbor_inline {

// Room for count more of the *room elements of size bytes at *block (at least
// `least`), grown geometrically by realloc: false, block unchanged, when it
// cannot be had. Any growable block uses it.
bool grow_block(void **block, size_t *room, size_t used, size_t count, size_t size, size_t least);

// Grows the block so that count more bytes fit: 0, or -1 (block unchanged).
int grow(cbor_generator *g, size_t count);

// Sizes never wrap: an append that would overflow length fails instead.
inline bool add_overflows(size_t a, size_t b) { return b > SIZE_MAX - a; }

// Where count more bytes go, or null when they cannot be had.
template <class G>
inline unsigned char *reserve(G *g, size_t count) {
    if (count > g->capacity - g->length && grow(g, count) < 0) return nullptr;
    return g->data + g->length;
}

// Big-endian stores: one store each (and one byte swap where the machine's
// order is the other).
inline void store16(unsigned char *p, uint64_t v) { vantra_portable::store_be16(p, v); }
inline void store32(unsigned char *p, uint64_t v) { vantra_portable::store_be32(p, v); }
inline void store64(unsigned char *p, uint64_t v) { vantra_portable::store_be64(p, v); }

// Shortest head: the argument picks the width. Returns its size (at most 9).
inline size_t put_head(unsigned char *p, int major_type, uint64_t argument) {
    unsigned char mt = (unsigned char)((major_type & 7) << 5);
    if (argument < 24) {
        p[0] = (unsigned char)(mt | argument);
        return 1;
    }
    if (argument <= 0xff) {
        p[0] = mt | 24, p[1] = (unsigned char)argument;
        return 2;
    }
    if (argument <= 0xffff) {
        p[0] = mt | 25, store16(p + 1, argument);
        return 3;
    }
    if (argument <= 0xffffffffu) {
        p[0] = mt | 26, store32(p + 1, argument);
        return 5;
    }
    p[0] = mt | 27, store64(p + 1, argument);
    return 9;
}

template <class G>
inline int append(G *g, const void *source, size_t count) {
    unsigned char *p = g ? reserve(g, count) : nullptr;
    if (!p) return -1;
    std::memcpy(p, source, count);
    g->length += count;
    return 0;
}

template <class G>
inline int write_byte(G *g, unsigned char byte) {
    unsigned char *p = g ? reserve(g, 1) : nullptr;
    if (!p) return -1;
    *p = byte;
    g->length += 1;
    return 0;
}

template <class G>
VANTRA_INLINE int write_head(G *g, int major_type, uint64_t argument) {
    unsigned char *p = g ? reserve(g, 9) : nullptr;
    if (!p) return -1;
    g->length += put_head(p, major_type, argument);
    return 0;
}

// Heads of arrays, maps and strings; all ones selects the indefinite form.
template <class G>
inline int write_counted_head(G *g, int major_type, size_t count) {
    if (count == CBOR_INDEFINITE) return write_byte(g, (unsigned char)((major_type << 5) | 31));
    return write_head(g, major_type, count);
}

// Short copies (most keys and words) as two overlapping fixed-size moves.
inline void copy_bytes(unsigned char *to, const void *from, size_t count) {
    const unsigned char *src = static_cast<const unsigned char *>(from);
    if (count > 32) {
        std::memcpy(to, src, count);
    } else if (count >= 16) {
        std::memcpy(to, src, 16), std::memcpy(to + count - 16, src + count - 16, 16);
    } else if (count >= 8) {
        std::memcpy(to, src, 8), std::memcpy(to + count - 8, src + count - 8, 8);
    } else if (count >= 4) {
        std::memcpy(to, src, 4), std::memcpy(to + count - 4, src + count - 4, 4);
    } else {
        for (size_t i = 0; i < count; ++i) to[i] = src[i];
    }
}

// Strings up to kCopySlack bytes are moved in one of three fixed sizes,
// reading past the source's end while that stays inside its page: a fixed
// move has no branch on the size, which strings of random sizes mispredict
// (in copy_bytes or memcpy, about three times the cost of the copy itself).
// `to` has room for kCopySlack bytes; what lands past count is overwritten
// by the next item or lies past the output's length. False: not copied, the
// caller copies exactly.
constexpr size_t kCopySlack = 256;

#if defined(VANTRA_READ_WITHIN_PAGE)
template <size_t kSize>
VANTRA_INLINE bool copy_fixed(unsigned char *to, const void *from) {
    if ((reinterpret_cast<uintptr_t>(from) & 4095) > 4096 - kSize) return false;
    // The optimizer must not see which object `from` points into: reading
    // past its end is defined for the processor, not for the language.
    __asm__("" : "+r"(from));
    std::memcpy(to, from, kSize);
    return true;
}

// Out of line: the 256-byte move inlined into every string writer grew the
// module enough to change the compiler's inlining elsewhere (decoding floats
// got slower by a tenth).
bool copy_medium(unsigned char *to, const void *from);
#endif

VANTRA_INLINE bool copy_short(unsigned char *to, const void *from, size_t count) {
#if defined(VANTRA_READ_WITHIN_PAGE)
    // count - 1 wraps for an empty string, whose source is never read.
    if (count - 1 < 32) return copy_fixed<32>(to, from);
    if (count - 1 < 64) return copy_fixed<64>(to, from);
    if (count - 1 < kCopySlack) return copy_medium(to, from);
#else
    (void)to, (void)from, (void)count;
#endif
    return false;
}

template <class G>
VANTRA_INLINE int write_string(G *g, int major_type, const void *source, size_t length) {
    if (length == CBOR_INDEFINITE) return write_counted_head(g, major_type, length);
    if (!g || add_overflows(length, 9 + kCopySlack)) return -1;
    unsigned char *p = reserve(g, 9 + kCopySlack + length);
    if (!p) return -1;
    size_t head;
    if (length <= 32) {
        // The head without a branch on the size either: one byte below 24,
        // else 24 and the size.
        size_t wide = length >= 24;
        p[0] = (unsigned char)((major_type & 7) << 5 | (wide ? 24 : length));
        p[1] = (unsigned char)length;
        head = 1 + wide;
    } else {
        head = put_head(p, major_type, length);
    }
    if (!copy_short(p + head, source, length)) copy_bytes(p + head, source, length);
    g->length += head + length;
    return 0;
}

// NaN (any payload) as the one canonical quiet NaN, the infinities as
// halves: the item for a double whose exponent bits are all ones.
size_t special_float_item(uint64_t d, unsigned char *out);

// The narrowest of half, single and double that holds value exactly, as one
// item stored at out (room for nine bytes); returns the item's size.
VANTRA_INLINE size_t float_item(double value, unsigned char *out) {
    uint64_t d;
    std::memcpy(&d, &value, sizeof d);
    if ((d >> 52 & 0x7ff) == 0x7ff) return special_float_item(d, out);
    // All nine bytes are stored; a narrower item's are overwritten by what
    // follows. The compiler turns the selects into branches, and should: the
    // item's size chosen without them makes every item wait for the width of
    // the one before (the float conversions' latency), measured twice as slow.
    //
    // A half holds the value when it has at most ten mantissa bits and its
    // exponent is in the half's normal range (-14 to 15), or when it is a
    // zero. Half subnormals are written as singles (see shortest_float_item).
    // Bits 52-62 hold the exponent (bias 1023), 42-51 the mantissa's top;
    // rebiased to 15 they are the half's low 15 bits.
    uint64_t rebased = ((d >> 42) & 0x1fffff) - ((1023 - 14) << 10);  // wraps below the range
    bool zero = (d << 1) == 0;
    bool half = (d & 0x3ffffffffffULL) == 0 && (rebased < (30 << 10) || zero);
    uint64_t half_bits = ((d >> 48) & 0x8000) | (zero ? 0 : rebased + (1 << 10));
    float narrow = (float)value;  // beyond a single's range: an infinity, never equal
    uint32_t f;
    std::memcpy(&f, &narrow, sizeof f);
    bool single = (double)narrow == value;
    uint64_t payload = half ? half_bits << 48 : single ? (uint64_t)f << 32 : d;
    out[0] = (unsigned char)(half ? 0xf9 : single ? 0xfa : 0xfb);
    cbor_inline::store64(out + 1, payload);
    return half ? 3 : single ? 5 : 9;
}


// 1, or 0 for NaN and the infinities (fixed items, appended as they stand);
// -1 when nothing could be written.
// float_item out of line, for callers that write one float at a time: the
// body inlined there made the writers of every other type slower.
size_t float_item_call(double value, unsigned char *out);

template <class G>
inline int write_float(G *g, double value) {
    unsigned char *p = g ? reserve(g, 9) : nullptr;
    if (!p) return -1;
    g->length += float_item_call(value, p);
    return std::isfinite(value) ? 1 : 0;
}

// As float_item, but a value that only a half-precision subnormal holds
// exactly is written as that half (2**-24: f9 00 01), as deterministic
// encoding asks; float_item keeps such values as singles.
size_t shortest_float_item(double value, unsigned char *out);

template <class G>
inline int write_shortest_float(G *g, double value) {
    unsigned char *p = g ? reserve(g, 9) : nullptr;
    if (!p) return -1;
    g->length += shortest_float_item(value, p);
    return std::isfinite(value) ? 1 : 0;
}

template <class G>
inline int write_uint(G *g, uint64_t value) { return write_head(g, 0, value); }
template <class G>
inline int write_negint(G *g, int64_t value) { return write_head(g, 1, ~(uint64_t)value); }

}  // namespace cbor_inline

#endif  // VANTRA_CBOR_WRITER_INLINE_H
