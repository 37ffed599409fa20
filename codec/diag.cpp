// CBOR to diagnostic notation, with an encoding indicator wherever the bytes
// are not in preferred form, so that the text says exactly how each item was
// written and the bytes can be made again from it (diag_parse.cpp).
#include <cmath>
#include <cstring>

#include "cbor.h"
#include "diag_number.h"
#include "walk.h"

namespace {

using cbor_walk::Frame;
using cbor_walk::Head;
using cbor_walk::kNoMemory;

// Indentation stops growing at this many columns, so that deep nesting cannot
// make the text grow with the square of the input.
const size_t kMaxIndent = 128;
// Bignums up to this many bytes are written as integers; longer ones as their
// tag over the bytes (the conversion takes time with the square of the size).
const uint64_t kMaxBignumBytes = 128;

const char kHex[] = "0123456789abcdef";

// How the diagnostic text writes each byte inside "...": 0 as it is, 1 escaped,
// 2 the start of a UTF-8 sequence to check.
struct TextClasses {
    unsigned char of[256];
    constexpr TextClasses() : of() {
        for (int c = 0; c < 256; ++c) of[c] = c < 0x20 || c == '"' || c == '\\' || c == 0x7f ? 1 : c >= 0x80 ? 2 : 0;
    }
};
constexpr TextClasses kText{};

class Writer {
public:
    Writer(cbor_generator *out, int indent) : out_(out), indent_(indent) {}

    // ---- The walk's visitor ------------------------------------------------------

    int item(const Frame &parent, const unsigned char *) {
        switch (parent.kind) {
        case cbor_walk::kTag:
        case cbor_walk::kEmbedded:
            return 0;
        case cbor_walk::kTop:
            if (parent.index == 0) return 0;
            return indent_ < 0 ? put(", ", 2) : put(",\n", 2);
        case cbor_walk::kMap:
            if (parent.index & 1) return put(": ", 2);
            break;
        default:
            break;
        }
        if (parent.index > 0 && put(',') < 0) return kNoMemory;
        if (indent_ >= 0) return newline(depth_);
        return parent.index > 0 || marked(parent.head) ? put(' ') : 0;
    }

    int scalar(const Head &h) {
        char *p = room(64);
        if (!p) return kNoMemory;
        char *start = p;
        switch (h.major) {
        case 0:
            p += cbor_diag_number::format_uint(h.argument, p);
            break;
        case 1:
            *p++ = '-';
            if (h.argument == UINT64_MAX) {
                std::memcpy(p, "18446744073709551616", 20);
                p += 20;
            } else {
                p += cbor_diag_number::format_uint(h.argument + 1, p);
            }
            break;
        default:
            return simple(h, p);
        }
        p = indicator(h, p);
        out_->length += (size_t)(p - start);
        return 0;
    }

    int string(const Head &h, const Frame &parent) {
        if (parent.kind == cbor_walk::kTag && parent.head.major == 6 && h.major == 2 && preferred(h)) {
            uint64_t tag = parent.head.argument;
            if (tag == 24 && cbor_walk::one_item(h.data, (size_t)h.argument)) {
                return put("<<", 2) < 0 ? kNoMemory : cbor_walk::kDescend;
            }
            if ((tag == 2 || tag == 3) && preferred(parent.head) && h.argument > 8 &&
                h.argument <= kMaxBignumBytes && h.data[0] != 0) {
                return bignum(h, tag == 3);
            }
        }
        if (h.major == 2) return bytes(h);
        return text(h);
    }

    int open(const Frame &f) {
        if (!marks_.push(Mark{out_->length, false})) return kNoMemory;
        char *p = room(32);
        if (!p) return kNoMemory;
        char *start = p;
        switch (f.kind) {
        case cbor_walk::kArray:
        case cbor_walk::kMap:
            *p++ = f.kind == cbor_walk::kArray ? '[' : '{';
            if (f.indefinite) {
                *p++ = '_';
            } else {
                p = indicator(f.head, p);
            }
            ++depth_;
            break;
        case cbor_walk::kByteChunks:
        case cbor_walk::kTextChunks:
            *p++ = '(', *p++ = '_';
            ++depth_;
            break;
        default:  // a tag
            p += cbor_diag_number::format_uint(f.head.argument, p);
            p = indicator(f.head, p);
            *p++ = '(';
        }
        out_->length += (size_t)(p - start);
        return 0;
    }

    int close(const Frame &f) {
        Mark mark = marks_.top();
        if (f.kind != cbor_walk::kEmbedded) marks_.size -= 1;
        switch (f.kind) {
        case cbor_walk::kArray:
        case cbor_walk::kMap:
        case cbor_walk::kByteChunks:
        case cbor_walk::kTextChunks: {
            --depth_;
            bool chunks = f.kind == cbor_walk::kByteChunks || f.kind == cbor_walk::kTextChunks;
            if (chunks && f.index == 0) {
                // No chunks: ''_ or ""_
                out_->length = mark.at;
                return f.kind == cbor_walk::kByteChunks ? put("''_", 3) : put("\"\"_", 3);
            }
            if (f.index > 0 && indent_ >= 0 && newline(depth_) < 0) return kNoMemory;
            if (f.index == 0 && marked(f.head) && put(' ') < 0) return kNoMemory;
            return put(f.kind == cbor_walk::kArray ? ']' : f.kind == cbor_walk::kMap ? '}' : ')');
        }
        case cbor_walk::kEmbedded:
            return put(">>", 2);
        case cbor_walk::kTag:
            return mark.bare ? 0 : put(')');
        default:
            return 0;
        }
    }

private:
    struct Mark {
        size_t at;  // where the container's text starts
        bool bare;  // a bignum written as an integer: no closing parenthesis
    };
    cbor_generator *out_;
    int indent_;
    int depth_ = 0;
    cbor_walk::Stack<Mark> marks_;

    // Room for count more bytes, or null.
    char *room(size_t count) {
        return reinterpret_cast<char *>(cbor_inline::reserve(out_, count));
    }
    int put(char c) {
        char *p = room(1);
        if (!p) return kNoMemory;
        *p = c;
        out_->length += 1;
        return 0;
    }
    int put(const char *s, size_t n) {
        char *p = room(n);
        if (!p) return kNoMemory;
        std::memcpy(p, s, n);
        out_->length += n;
        return 0;
    }
    int newline(int depth) {
        size_t spaces = (size_t)indent_ * (size_t)depth;
        if (spaces > kMaxIndent) spaces = kMaxIndent;
        char *p = room(1 + spaces);
        if (!p) return kNoMemory;
        *p = '\n';
        std::memset(p + 1, ' ', spaces);
        out_->length += 1 + spaces;
        return 0;
    }

    // The head is the shortest one for its argument.
    static bool preferred(const Head &h) {
        return h.ai < 24 || cbor_walk::argument_width(h.ai) == cbor_walk::shortest_width(h.argument);
    }
    // An indicator follows the container's opening bracket.
    static bool marked(const Head &h) { return h.ai == 31 || !preferred(h); }

    // _0 to _3 after an argument wider than it needs.
    static char *indicator(const Head &h, char *p) {
        if (!preferred(h)) *p++ = '_', *p++ = (char)('0' + h.ai - 24);
        return p;
    }

    int simple(const Head &h, char *p) {
        char *start = p;
        switch (h.ai) {
        case 20:
            std::memcpy(p, "false", 5), p += 5;
            break;
        case 21:
            std::memcpy(p, "true", 4), p += 4;
            break;
        case 22:
            std::memcpy(p, "null", 4), p += 4;
            break;
        case 23:
            std::memcpy(p, "undefined", 9), p += 9;
            break;
        case 25:
        case 26:
        case 27:
            p = real(h, p);
            break;
        default:
            std::memcpy(p, "simple(", 7), p += 7;
            p += cbor_diag_number::format_uint(h.argument, p);
            *p++ = ')';
        }
        out_->length += (size_t)(p - start);
        return 0;
    }

    // A float: its value, then _1, _2 or _3 when a narrower width holds it.
    // NaN and the infinities in their half forms are plain words; quiet NaN
    // and the infinities of other widths are those words with the width; any
    // other NaN (a payload, a sign, signalling) is float'<its bits in hex>'.
    char *real(const Head &h, char *p) {
        int width = 1 << (h.ai - 24);  // 2, 4 or 8 bytes
        uint64_t bits = h.argument, d;
        bool nan, infinite, negative;
        if (width == 2) {
            d = cbor_inline::half_as_double(bits);
            nan = (bits & 0x7c00) == 0x7c00 && (bits & 0x3ff);
            infinite = (bits & 0x7fff) == 0x7c00;
            negative = bits & 0x8000;
        } else if (width == 4) {
            d = cbor_inline::single_as_double((uint32_t)bits);
            nan = (bits & 0x7f800000) == 0x7f800000 && (bits & 0x7fffff);
            infinite = (bits & 0x7fffffff) == 0x7f800000;
            negative = bits & 0x80000000u;
        } else {
            d = bits;
            nan = (bits << 1) > (cbor_inline::kInfinity << 1);
            infinite = (bits << 1) == (cbor_inline::kInfinity << 1);
            negative = bits >> 63;
        }
        if (nan) {
            bool canonical = width == 2 ? bits == 0x7e00 : width == 4 ? bits == 0x7fc00000 : bits == cbor_inline::kQuietNan;
            if (!canonical) {
                std::memcpy(p, "float'", 6), p += 6;
                for (int i = width * 2 - 1; i >= 0; --i) *p++ = kHex[(bits >> (4 * i)) & 0xf];
                *p++ = '\'';
                return p;
            }
            std::memcpy(p, "NaN", 3), p += 3;
        } else if (infinite) {
            if (negative) *p++ = '-';
            std::memcpy(p, "Infinity", 8), p += 8;
        } else {
            double value;
            std::memcpy(&value, &d, sizeof value);
            p += cbor_diag_number::format_double(value, p);
            unsigned char shortest[9];
            if (width == 2 || (int)cbor_inline::shortest_float_item(value, shortest) == width + 1) return p;
        }
        if (width > 2) *p++ = '_', *p++ = (char)('0' + h.ai - 24);
        return p;
    }

    int bytes(const Head &h) {
        size_t n = (size_t)h.argument;
        if (n > (SIZE_MAX - 16) / 2) return kNoMemory;
        char *p = room(2 * n + 16);
        if (!p) return kNoMemory;
        char *start = p;
        *p++ = 'h', *p++ = '\'';
        for (size_t i = 0; i < n; ++i) {
            unsigned char b = h.data[i];
            p[0] = kHex[b >> 4], p[1] = kHex[b & 0xf];
            p += 2;
        }
        *p++ = '\'';
        p = indicator(h, p);
        out_->length += (size_t)(p - start);
        return 0;
    }

    // JSON's escapes; bytes that are not UTF-8 as \udc80 to \udcff, each
    // standing for one byte (never a character: no UTF-8 holds a surrogate).
    int text(const Head &h) {
        const unsigned char *s = h.data, *end = s + h.argument;
        if (put('"') < 0) return kNoMemory;
        const size_t kBlock = 4096;
        while (s < end) {
            size_t block = (size_t)(end - s) < kBlock ? (size_t)(end - s) : kBlock;
            const unsigned char *stop = s + block;
            char *p = room(6 * (block + 4) + 8);
            if (!p) return kNoMemory;
            char *start = p;
            while (s < stop) {
                unsigned c = *s;
                switch (kText.of[c]) {
                case 0:
                    *p++ = (char)c;
                    s += 1;
                    break;
                case 1:
                    *p++ = '\\';
                    switch (c) {
                    case '"':
                    case '\\':
                        *p++ = (char)c;
                        break;
                    case '\b':
                        *p++ = 'b';
                        break;
                    case '\f':
                        *p++ = 'f';
                        break;
                    case '\n':
                        *p++ = 'n';
                        break;
                    case '\r':
                        *p++ = 'r';
                        break;
                    case '\t':
                        *p++ = 't';
                        break;
                    default:
                        std::memcpy(p, "u00", 3), p += 3;
                        *p++ = kHex[c >> 4], *p++ = kHex[c & 0xf];
                    }
                    s += 1;
                    break;
                default:
                    if (size_t n = cbor_walk::utf8_sequence(s, end)) {
                        std::memcpy(p, s, n);
                        p += n, s += n;
                    } else {
                        std::memcpy(p, "\\udc", 4), p += 4;
                        *p++ = kHex[c >> 4], *p++ = kHex[c & 0xf];
                        s += 1;
                    }
                }
            }
            out_->length += (size_t)(p - start);
        }
        char *p = room(3);
        if (!p) return kNoMemory;
        char *start = p;
        *p++ = '"';
        p = indicator(h, p);
        out_->length += (size_t)(p - start);
        return 0;
    }

    // The integer a bignum stands for (tag 3: -1 - n), in decimal: the tag
    // and its parenthesis already written are taken back.
    int bignum(const Head &h, bool negative) {
        Mark &mark = marks_.top();
        out_->length = mark.at;
        mark.bare = true;
        // Base 10**9 digits from the big-endian bytes, by repeated division.
        // One limb more than the bytes need: n + 1 may carry into it.
        uint32_t limbs[kMaxBignumBytes / 4 + 1];
        size_t count = (size_t)h.argument / 4 + 1;
        std::memset(limbs, 0, sizeof limbs);
        for (size_t i = 0; i < (size_t)h.argument; ++i) {
            size_t from_end = (size_t)h.argument - 1 - i;
            limbs[count - 1 - from_end / 4] |= (uint32_t)h.data[i] << (8 * (from_end % 4));
        }
        if (negative) {  // n + 1
            for (size_t i = count; i-- > 0;) {
                if (++limbs[i] != 0) break;
            }
        }
        char digits[kMaxBignumBytes * 3 + 16];
        size_t n = 0;
        size_t first = 0;
        while (first < count) {
            uint64_t rest = 0;
            for (size_t i = first; i < count; ++i) {
                uint64_t cur = rest << 32 | limbs[i];
                limbs[i] = (uint32_t)(cur / 1000000000u);
                rest = cur % 1000000000u;
            }
            while (first < count && limbs[first] == 0) ++first;
            for (int k = 0; k < 9 && (first < count || rest); ++k) {
                digits[n++] = (char)('0' + rest % 10);
                rest /= 10;
            }
        }
        char *p = room(n + 2);
        if (!p) return kNoMemory;
        char *start = p;
        if (negative) *p++ = '-';
        while (n) *p++ = digits[--n];
        out_->length += (size_t)(p - start);
        return 0;
    }
};

}  // namespace

extern "C" int cbor_diag(cbor_generator *out, const unsigned char *data, size_t size, int indent, int sequence,
                         cbor_fault *fault) {
    if (fault) fault->found = 0;
    if (!out) return kNoMemory;
    Writer writer(out, indent);
    size_t start = out->length;
    int status = cbor_walk::walk(data, size, sequence != 0, writer, fault);
    if (status < 0) out->length = start;
    return status;
}
