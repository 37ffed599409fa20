// Diagnostic notation to CBOR: RFC 8949 section 8 with its encoding
// indicators, and what RFC 8610 appendix G and the extended notation add
// (h'', b64'', b32'', h32'' with spaces and comments, '...' byte strings,
// concatenation, << >>, hex, octal and binary integers, comments).
//
// One pass, no recursion: nesting is a heap stack. A definite array, map or
// << >> gets nine bytes of room for its head, filled in when it closes; one
// compacting pass at the end moves everything into place. Strings are
// written straight after a nine-byte gap and moved back over it once their
// length is known.
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cbor.h"
#include "diag_number.h"
#include "walk.h"

namespace {

using cbor_walk::Stack;

const int kFailed = -1, kNoMemory = -2;
// Decimal integers longer than this are refused (hex is not limited): their
// conversion takes time with the square of their length.
const size_t kMaxDecimalDigits = 20000;
// Indicator widths: none given, _i (in the initial byte), _0 to _3, _ (indefinite).
const int kShortest = -1, kImmediate = -2, kIndefinite = 31;

enum Kind : uint8_t { kTop, kArray, kMap, kTag, kChunks, kEmbedded };

struct Frame {
    Kind kind;
    bool indefinite;
    bool need_item;       // after a ':' (a map value must follow)
    unsigned char chunk;  // kChunks: major type of the first chunk (0: none yet)
    int width;            // the head's indicator
    uint64_t count;       // items so far
    size_t at;            // output offset of the head's room (or of the indefinite head)
    size_t patch;         // index of the head's patch
    uint64_t shrink;      // bytes the patches before this frame's save
    const unsigned char *opened;  // where the text opened it
};

struct Patch {
    size_t at;  // output offset of nine bytes of room
    unsigned char head[9];
    unsigned char size;
};

inline bool is_digit(unsigned c) { return c - '0' < 10; }
inline bool is_alpha(unsigned c) { return (c | 0x20) - 'a' < 26; }
inline int hex_value(unsigned c) {
    if (c - '0' < 10) return (int)(c - '0');
    c |= 0x20;
    return c - 'a' < 6 ? (int)(c - 'a' + 10) : -1;
}

// The head of major_type for argument, at the width an indicator chose.
// Returns its size, or 0 when the argument does not fit that width.
size_t sized_head(unsigned char *p, int major_type, uint64_t argument, int width) {
    if (width == kShortest) return cbor_inline::put_head(p, major_type, argument);
    unsigned char mt = (unsigned char)(major_type << 5);
    if (width == kImmediate) {
        if (argument >= 24) return 0;
        p[0] = (unsigned char)(mt | argument);
        return 1;
    }
    int bytes = 1 << width;
    if (bytes < 8 && argument >> (8 * bytes)) return 0;
    p[0] = (unsigned char)(mt | (24 + width));
    for (int i = 0; i < bytes; ++i) p[1 + i] = (unsigned char)(argument >> (8 * (bytes - 1 - i)));
    return 1 + (size_t)bytes;
}

// Half precision nearest to v (ties to even), as bits.
uint16_t half_bits(double v) {
    uint16_t sign = std::signbit(v) ? 0x8000 : 0;
    if (std::isnan(v)) return sign | 0x7e00;
    double a = std::fabs(v);
    if (a >= 65520.0) return sign | 0x7c00;  // beyond the largest half's rounding range
    if (a < 0x1p-14) return sign | (uint16_t)std::nearbyint(a * 0x1p24);  // 1024 is the smallest normal
    int exponent;
    std::frexp(a, &exponent);
    exponent -= 1;  // a = 1.m * 2**exponent, from -14 to 15
    double mantissa = std::nearbyint((std::ldexp(a, -exponent) - 1) * 1024);
    if (mantissa == 1024) mantissa = 0, exponent += 1;
    if (exponent > 15) return sign | 0x7c00;
    return sign | (uint16_t)((exponent + 15) << 10) | (uint16_t)mantissa;
}

class Parser {
public:
    Parser(cbor_generator *out, const unsigned char *text, size_t size, cbor_fault *fault)
        : out_(out), start_(text), p_(text), end_(text + size), fault_(fault) {}

    int run(bool sequence);

private:
    cbor_generator *out_;
    const unsigned char *start_, *p_, *end_;
    cbor_fault *fault_;
    Stack<Frame> frames_;
    Stack<Patch> patches_;
    uint64_t shrink_ = 0;  // bytes saved by the patches made so far
    // A number as read: its magnitude in 64 bits, or big-endian bytes.
    Stack<unsigned char> big_;
    Stack<uint32_t> limbs_;

    // ---- Errors ----------------------------------------------------------------------

    VANTRA_PRINTF(3, 4) int fail(const unsigned char *at, const char *format, ...) {
        if (fault_ && !fault_->found) {
            fault_->found = 1;
            fault_->offset = (uint64_t)(at - start_);
            va_list args;
            va_start(args, format);
            std::vsnprintf(fault_->message, sizeof fault_->message, format, args);
            va_end(args);
        }
        return kFailed;
    }

    // ---- Output ----------------------------------------------------------------------

    unsigned char *room(size_t count) { return cbor_inline::reserve(out_, count); }
    int put(const void *bytes, size_t count) {
        unsigned char *p = room(count);
        if (!p) return kNoMemory;
        std::memcpy(p, bytes, count);
        out_->length += count;
        return 0;
    }
    int put_byte(unsigned char b) { return put(&b, 1); }
    int put_head(const unsigned char *at, int major, uint64_t argument, int width) {
        unsigned char head[9];
        size_t n = sized_head(head, major, argument, width);
        if (!n) return fail(at, "%llu does not fit the indicated width", (unsigned long long)argument);
        return put(head, n);
    }

    // ---- Characters ------------------------------------------------------------------

    // Spaces and comments: "/ ... /" and "# ..." to the end of the line. In
    // b64'' a '/' is a digit: there only '#' comments are.
    int space(bool slash_comments = true) {
        while (p_ < end_) {
            unsigned c = *p_;
            if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
                ++p_;
            } else if (c == '/' && slash_comments) {
                const unsigned char *open = p_++;
                while (p_ < end_ && *p_ != '/') ++p_;
                if (p_ == end_) return fail(open, "unterminated comment");
                ++p_;
            } else if (c == '#') {
                while (p_ < end_ && *p_ != '\n') ++p_;
            } else {
                break;
            }
        }
        return 0;
    }
    bool looking_at(char c) const { return p_ < end_ && *p_ == (unsigned char)c; }
    bool looking_at(const char *s) const {
        size_t n = std::strlen(s);
        return (size_t)(end_ - p_) >= n && std::memcmp(p_, s, n) == 0;
    }
    // The word (letters and digits) at p_.
    size_t word() const {
        const unsigned char *q = p_;
        while (q < end_ && (is_alpha(*q) || is_digit(*q))) ++q;
        return (size_t)(q - p_);
    }

    // An indicator at p_: _i, _0 to _3, or _ alone when indefinite is allowed.
    int indicator(int *width, bool indefinite_allowed) {
        *width = kShortest;
        if (!looking_at('_')) return 0;
        const unsigned char *u = p_++;
        if (p_ < end_ && *p_ >= '0' && *p_ <= '3') {
            *width = *p_++ - '0';
        } else if (looking_at('i') && !(p_ + 1 < end_ && (is_alpha(p_[1]) || is_digit(p_[1])))) {
            ++p_;
            *width = kImmediate;
        } else if (p_ < end_ && (is_alpha(*p_) || is_digit(*p_))) {
            return fail(u, "unknown encoding indicator");
        } else if (indefinite_allowed) {
            *width = kIndefinite;
        } else {
            return fail(u, "an indefinite length is not allowed here");
        }
        return 0;
    }

    // ---- Items -------------------------------------------------------------------------

    int item(bool *opened);
    int close_frame();
    int number();
    int integer(const unsigned char *at, bool negative, int base, const unsigned char *digits, size_t count);
    int real(const unsigned char *at, double value);
    int special_float(const unsigned char *at, bool nan, bool negative);
    int word_item();
    int strings(const unsigned char *first);
    int string_part(bool *text);
    int quoted(unsigned char quote);
    int hex_content(const unsigned char *open);
    int base64_content(const unsigned char *open);
    int base32_content(const unsigned char *open, bool hex_alphabet);
    int float_bits(const unsigned char *open);
    int simple();
    int open_container(Kind kind, unsigned char major, int width, const unsigned char *opened);
    int finish();
};

int Parser::run(bool sequence) {
    size_t base = out_->length;
    if (!frames_.push(Frame{kTop, sequence, false, 0, kShortest, 0, base, 0, 0, p_})) return kNoMemory;
    int status;
#define TRY(call)                             \
    if ((status = (call)) < 0) return status
    for (;;) {
        TRY(space());
        Frame &f = frames_.top();
        // A closer where one may stand: after an item or an opener, or after a
        // comma (a trailing comma is allowed), never after a key's ':'.
        bool closing = false;
        if (!f.need_item) {
            switch (f.kind) {
            case kTop:
                if (p_ == end_) {
                    if (!sequence && f.count == 0) return fail(p_, "expected an item, found the end of the text");
                    return finish();
                }
                break;
            case kArray:
                closing = looking_at(']');
                break;
            case kMap:
                closing = looking_at('}');
                break;
            case kChunks:
                closing = looking_at(')');
                break;
            case kEmbedded:
                closing = looking_at(">>");
                break;
            default:
                break;
            }
        }
        bool opened = false;
        if (closing) {
            TRY(close_frame());
        } else {
            if (p_ == end_) return fail(p_, "the text ends where an item was expected");
            TRY(item(&opened));
            if (opened) continue;
        }
        // An item is complete: what follows it in its container.
        for (;;) {
            Frame &g = frames_.top();
            g.count += 1;
            g.need_item = false;
            TRY(space());
            if (g.kind == kTag) {
                if (!looking_at(')')) return fail(p_, "expected ')' after the tag's item");
                ++p_;
                frames_.size -= 1;
                continue;  // the tag is an item of its container
            }
            if (g.kind == kMap && (g.count & 1)) {
                if (!looking_at(':')) return fail(p_, "expected ':' after a map key");
                ++p_;
                g.need_item = true;
            } else if (looking_at(',')) {
                if (g.kind == kTop && !sequence) return fail(p_, "expected the end of the text after the item");
                ++p_;
            } else if (g.kind == kTop) {
                if (p_ != end_) {
                    return fail(p_, sequence ? "expected ',' or the end of the text" : "expected the end of the text after the item");
                }
            } else {
                const char *closer = g.kind == kArray ? "]" : g.kind == kMap ? "}" : g.kind == kChunks ? ")" : ">>";
                if (!looking_at(closer)) return fail(p_, "expected ',' or '%s'", closer);
            }
            break;
        }
    }
#undef TRY
}

// Closes the frame on top at its closer (at p_).
int Parser::close_frame() {
    Frame f = frames_.top();
    frames_.size -= 1;
    p_ += f.kind == kEmbedded ? 2 : 1;
    if (f.kind == kChunks) {
        if (!f.chunk) return fail(f.opened, "an indefinite-length string needs a chunk: write ''_ or \"\"_ for none");
        return put_byte(0xff);
    }
    if (f.indefinite) {
        if (f.kind == kMap && (f.count & 1)) return fail(p_ - 1, "a map key without a value");
        return put_byte(0xff);
    }
    // A definite head: its room is filled in by the compacting pass.
    Patch &patch = patches_[f.patch];
    uint64_t argument = f.count;
    unsigned char major = 4;
    if (f.kind == kMap) {
        argument /= 2, major = 5;
    } else if (f.kind == kEmbedded) {
        argument = out_->length - (f.at + 9) - (shrink_ - f.shrink);
        major = 2;
        int status = indicator(&f.width, false);  // <<...>>_0
        if (status < 0) return status;
    }
    size_t n = sized_head(patch.head, major, argument, f.width);
    if (!n) return fail(f.opened, "%llu does not fit the indicated width", (unsigned long long)argument);
    patch.size = (unsigned char)n;
    shrink_ += 9 - n;
    return 0;
}

int Parser::open_container(Kind kind, unsigned char major, int width, const unsigned char *opened) {
    Frame f{kind, width == kIndefinite, false, 0, width, 0, out_->length, 0, shrink_, opened};
    if (width == kIndefinite) {
        if (put_byte((unsigned char)(major << 5 | 31)) < 0) return kNoMemory;
    } else if (kind != kChunks) {
        f.patch = patches_.size;
        if (!patches_.push(Patch{out_->length, {0}, 9})) return kNoMemory;
        unsigned char *p = room(9);
        if (!p) return kNoMemory;
        out_->length += 9;
    }
    return frames_.push(f) ? 0 : kNoMemory;
}

// One item at p_; *opened when it opened a container (or a tag).
int Parser::item(bool *opened) {
    Frame &f = frames_.top();
    unsigned c = *p_;
    int status;
    if (f.kind == kChunks) {
        // Only definite strings, all of one type.
        if (c != '"' && c != '\'' && !is_alpha(c)) return fail(p_, "expected a string as a chunk");
        const unsigned char *at = p_;
        size_t before = out_->length;
        if ((status = strings(at)) < 0) return status;
        unsigned char initial = out_->data[before];
        if ((initial & 0x1f) == 31) return fail(at, "a chunk cannot have an indefinite length");
        unsigned char major = initial >> 5;
        Frame &g = frames_.top();
        if (!g.chunk) {
            g.chunk = major;
            out_->data[g.at] = (unsigned char)(major << 5 | 31);
        } else if (g.chunk != major) {
            return fail(at, "the chunks of an indefinite-length string must all be byte strings or all text strings");
        }
        return 0;
    }
    int width;
    switch (c) {
    case '[':
    case '{': {
        const unsigned char *start = p_++;
        if ((status = indicator(&width, true)) < 0) return status;
        if (width == kImmediate) width = kShortest;
        *opened = true;
        return open_container(c == '[' ? kArray : kMap, c == '[' ? 4 : 5, width, start);
    }
    case '(': {
        const unsigned char *at = p_++;
        if (!this->looking_at('_') || (p_ + 1 < end_ && (is_alpha(p_[1]) || is_digit(p_[1])))) {
            return fail(at, "expected '(_' to open an indefinite-length string");
        }
        ++p_;
        *opened = true;
        if (put_byte(0x5f) < 0) return kNoMemory;  // its type is the first chunk's
        return frames_.push(Frame{kChunks, true, false, 0, kIndefinite, 0, out_->length - 1, 0, shrink_, at})
                   ? 0 : kNoMemory;
    }
    case '<':
        if (!looking_at("<<")) break;
        p_ += 2;
        *opened = true;
        return open_container(kEmbedded, 2, kShortest, p_ - 2);
    case '"':
    case '\'':
        return strings(p_);
    default:
        if (is_digit(c) || c == '-' || c == '+') {
            const unsigned char *at = p_;
            size_t before = out_->length;
            if ((status = number()) < 0) return status;
            // A tag: an unsigned integer right before '('.
            unsigned char initial = out_->data[before];
            if (looking_at('(') && initial >> 5 == 0 && *at != '-' && *at != '+') {
                out_->data[before] = (unsigned char)(0xc0 | (initial & 0x1f));
                ++p_;
                *opened = true;
                return frames_.push(Frame{kTag, false, false, 0, kShortest, 0, before, 0, shrink_, at}) ? 0 : kNoMemory;
            }
            return 0;
        }
        if (is_alpha(c)) return word_item();
    }
    return fail(p_, "expected an item");
}

// true, false, null, undefined, NaN, Infinity, simple(n), or a prefixed string.
int Parser::word_item() {
    const unsigned char *at = p_;
    size_t n = word();
    if (p_ + n < end_ && p_[n] == '\'') {
        if (n == 5 && std::memcmp(at, "float", 5) == 0) {
            p_ += n + 1;
            return float_bits(at);
        }
        return strings(at);
    }
    auto is = [&](const char *w) { return n == std::strlen(w) && std::memcmp(at, w, n) == 0; };
    if (is("false") || is("true") || is("null") || is("undefined")) {
        p_ += n;
        return put_byte(is("false") ? 0xf4 : is("true") ? 0xf5 : is("null") ? 0xf6 : 0xf7);
    }
    if (is("NaN") || is("Infinity")) {
        p_ += n;
        return special_float(at, is("NaN"), false);
    }
    if (is("simple")) {
        p_ += n;
        return simple();
    }
    return fail(at, "unknown word '%.*s'", (int)(n < 40 ? n : 40), (const char *)at);
}

int Parser::simple() {
    int status;
    if (!looking_at('(')) return fail(p_, "expected '(' after simple");
    ++p_;
    if ((status = space()) < 0) return status;
    const unsigned char *digits = p_;
    uint64_t value = 0;
    while (p_ < end_ && is_digit(*p_) && value < 1000) value = value * 10 + (*p_++ - '0');
    if (p_ == digits) return fail(p_, "expected the number of a simple value");
    if (value > 255 || (value >= 24 && value < 32)) return fail(digits, "simple values are 0 to 23 and 32 to 255");
    if ((status = space()) < 0) return status;
    if (!looking_at(')')) return fail(p_, "expected ')' to close simple(");
    ++p_;
    if (value < 24) return put_byte((unsigned char)(0xe0 | value));
    unsigned char item[2] = {0xf8, (unsigned char)value};
    return put(item, 2);
}

// NaN or an infinity, with an optional width (_1 half, the default; _2 single; _3 double).
int Parser::special_float(const unsigned char *at, bool nan, bool negative) {
    int width, status;
    if ((status = indicator(&width, false)) < 0) return status;
    if (width == kShortest) width = 1;
    if (width < 1) return fail(at, "a float's width is _1, _2 or _3");
    unsigned char item[9];
    if (width == 1) {
        item[0] = 0xf9;
        cbor_inline::store16(item + 1, (nan ? 0x7e00 : 0x7c00) | (negative ? 0x8000 : 0));
        return put(item, 3);
    }
    if (width == 2) {
        item[0] = 0xfa;
        cbor_inline::store32(item + 1, (nan ? 0x7fc00000u : 0x7f800000u) | (negative ? 0x80000000u : 0));
        return put(item, 5);
    }
    item[0] = 0xfb;
    cbor_inline::store64(item + 1, (nan ? cbor_inline::kQuietNan : cbor_inline::kInfinity) | (negative ? 1ULL << 63 : 0));
    return put(item, 9);
}

// An integer or a float, with its indicator.
int Parser::number() {
    const unsigned char *at = p_;
    bool negative = false;
    if (*p_ == '-' || *p_ == '+') negative = *p_++ == '-';
    if (looking_at("Infinity")) {
        p_ += 8;
        return special_float(at, false, negative);
    }
    if (!(p_ < end_ && is_digit(*p_))) return fail(at, "expected a number");
    int base = 10;
    if (*p_ == '0' && p_ + 1 < end_) {
        unsigned x = p_[1] | 0x20;
        base = x == 'x' ? 16 : x == 'o' ? 8 : x == 'b' ? 2 : 10;
    }
    if (base != 10) {
        p_ += 2;
        const unsigned char *digits = p_;
        while (p_ < end_ && (hex_value(*p_) >= 0 && hex_value(*p_) < base)) ++p_;
        if (p_ == digits) return fail(digits, "expected digits after the base prefix");
        if (p_ < end_ && (*p_ == '.' || (*p_ | 0x20) == 'p')) return fail(p_, "hexadecimal floats are not supported");
        return integer(at, negative, base, digits, (size_t)(p_ - digits));
    }
    const unsigned char *digits = p_;
    while (p_ < end_ && is_digit(*p_)) ++p_;
    size_t count = (size_t)(p_ - digits);
    bool fraction = looking_at('.') && p_ + 1 < end_ && is_digit(p_[1]);
    bool exponent = p_ < end_ && (*p_ | 0x20) == 'e';
    if (!fraction && !exponent) return integer(at, negative, 10, digits, count);
    if (fraction) {
        ++p_;
        while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    if (p_ < end_ && (*p_ | 0x20) == 'e') {
        const unsigned char *e = p_++;
        if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
        if (!(p_ < end_ && is_digit(*p_))) return fail(e, "expected digits in the exponent");
        while (p_ < end_ && is_digit(*p_)) ++p_;
    }
    double value;
    if (!cbor_diag_number::parse_double(reinterpret_cast<const char *>(digits), (size_t)(p_ - digits), &value)) {
        return fail(at, "cannot read this number");
    }
    return real(at, negative ? -value : value);
}

int Parser::real(const unsigned char *at, double value) {
    int width, status;
    if ((status = indicator(&width, false)) < 0) return status;
    unsigned char item[9];
    switch (width) {
    case kShortest:
        return put(item, cbor_inline::shortest_float_item(value, item));
    case 1:
        item[0] = 0xf9;
        cbor_inline::store16(item + 1, half_bits(value));
        return put(item, 3);
    case 2: {
        float single = (float)value;
        uint32_t bits;
        std::memcpy(&bits, &single, 4);
        item[0] = 0xfa;
        cbor_inline::store32(item + 1, bits);
        return put(item, 5);
    }
    case 3: {
        uint64_t bits;
        std::memcpy(&bits, &value, 8);
        item[0] = 0xfb;
        cbor_inline::store64(item + 1, bits);
        return put(item, 9);
    }
    default:
        return fail(at, "a float's width is _1, _2 or _3");
    }
}

// An integer of any size: major type 0 or 1, or beyond 64 bits a bignum (tag 2 or 3).
int Parser::integer(const unsigned char *at, bool negative, int base, const unsigned char *digits, size_t count) {
    int width, status;
    if ((status = indicator(&width, false)) < 0) return status;
    while (count > 1 && *digits == '0') ++digits, --count;
    // Little-endian 32-bit limbs.
    limbs_.size = 0;
    if (base == 10) {
        if (count > kMaxDecimalDigits) {
            return fail(at, "decimal integers longer than %zu digits are refused: write it in hex", kMaxDecimalDigits);
        }
        if (!limbs_.push(0)) return kNoMemory;
        for (size_t i = 0; i < count;) {
            uint32_t chunk = 0, scale = 1;
            for (int k = 0; k < 9 && i < count; ++k, ++i) chunk = chunk * 10 + (digits[i] - '0'), scale *= 10;
            uint64_t carry = chunk;
            for (size_t j = 0; j < limbs_.size; ++j) {
                uint64_t v = (uint64_t)limbs_[j] * scale + carry;
                limbs_[j] = (uint32_t)v;
                carry = v >> 32;
            }
            if (carry && !limbs_.push((uint32_t)carry)) return kNoMemory;
        }
    } else {
        int shift = base == 16 ? 4 : base == 8 ? 3 : 1;
        uint64_t acc = 0;
        int bits = 0;
        for (size_t i = count; i-- > 0;) {
            acc |= (uint64_t)hex_value(digits[i]) << bits;
            bits += shift;
            if (bits >= 32) {
                if (!limbs_.push((uint32_t)acc)) return kNoMemory;
                acc >>= 32;
                bits -= 32;
            }
        }
        if (bits && !limbs_.push((uint32_t)acc)) return kNoMemory;
    }
    while (limbs_.size > 1 && limbs_[limbs_.size - 1] == 0) limbs_.size -= 1;
    bool zero = limbs_.size == 0 || (limbs_.size == 1 && limbs_[0] == 0);
    if (negative && zero) negative = false;  // -0 is 0
    if (negative) {  // -1 - n: the argument is the magnitude less one
        for (size_t j = 0; j < limbs_.size; ++j) {
            if (limbs_[j]-- != 0) break;
        }
        while (limbs_.size > 1 && limbs_[limbs_.size - 1] == 0) limbs_.size -= 1;
    }
    int major = negative ? 1 : 0;
    if (limbs_.size <= 2) {
        uint64_t argument = limbs_.size == 0 ? 0 : limbs_[0] | (limbs_.size == 2 ? (uint64_t)limbs_[1] << 32 : 0);
        return put_head(at, major, argument, width);
    }
    if (width != kShortest) return fail(at, "an integer beyond 64 bits has no width to indicate");
    // Tag 2 or 3 over the big-endian magnitude, without leading zero bytes.
    size_t bytes = limbs_.size * 4;
    uint32_t top = limbs_[limbs_.size - 1];
    while (!(top >> 24)) top <<= 8, --bytes;
    unsigned char head[10];
    head[0] = (unsigned char)(0xc2 + major);
    size_t n = 1 + cbor_inline::put_head(head + 1, 2, bytes);
    unsigned char *p = room(n + bytes);
    if (!p) return kNoMemory;
    std::memcpy(p, head, n);
    for (size_t i = 0; i < bytes; ++i) {
        size_t from_end = bytes - 1 - i;
        p[n + i] = (unsigned char)(limbs_[from_end / 4] >> (8 * (from_end % 4)));
    }
    out_->length += n + bytes;
    return 0;
}

// One string item: literals written one after the other (or joined by '+')
// make one string of the first one's type; an indicator may follow the last.
int Parser::strings(const unsigned char *first) {
    int status;
    size_t at = out_->length;
    unsigned char *gap = room(9);
    if (!gap) return kNoMemory;
    out_->length += 9;
    bool text = false, first_text;
    if ((status = string_part(&first_text)) < 0) return status;
    for (;;) {
        const unsigned char *before = p_;
        if ((status = space()) < 0) return status;
        bool plus = looking_at('+');
        if (plus) {
            ++p_;
            if ((status = space()) < 0) return status;
        }
        unsigned c = p_ < end_ ? *p_ : 0;
        bool next = c == '"' || c == '\'' || (is_alpha(c) && p_ + word() < end_ && p_[word()] == '\'');
        if (!next) {
            if (plus) return fail(p_, "expected a string after '+'");
            p_ = before;
            break;
        }
        if ((status = string_part(&text)) < 0) return status;
    }
    int width;
    if ((status = indicator(&width, true)) < 0) return status;
    size_t length = out_->length - at - 9;
    unsigned char major = first_text ? 3 : 2;
    if (width == kIndefinite) {
        if (length) return fail(first, "only an empty string can be written with '_' alone: use (_ ...)");
        out_->data[at] = (unsigned char)(major << 5 | 31);
        out_->data[at + 1] = 0xff;
        out_->length = at + 2;
        return 0;
    }
    unsigned char head[9];
    size_t n = sized_head(head, major, length, width);
    if (!n) return fail(first, "%zu does not fit the indicated width", length);
    unsigned char *data = out_->data;
    std::memmove(data + at + n, data + at + 9, length);
    std::memcpy(data + at, head, n);
    out_->length = at + n + length;
    return 0;
}

// One literal's content, appended to the output; *text for "...".
int Parser::string_part(bool *text) {
    const unsigned char *open = p_;
    *text = *p_ == '"';
    if (*p_ == '"' || *p_ == '\'') return quoted(*p_);
    size_t n = word();
    if (p_ + n >= end_ || p_[n] != '\'') return fail(open, "expected a string");
    auto is = [&](const char *w) { return n == std::strlen(w) && std::memcmp(open, w, n) == 0; };
    p_ += n + 1;  // the prefix and its quote
    if (is("h")) return hex_content(open);
    if (is("b64")) return base64_content(open);
    if (is("b32")) return base32_content(open, false);
    if (is("h32")) return base32_content(open, true);
    if (is("float")) return fail(open, "float'' is a float, not a string");
    return fail(open, "unknown string prefix '%.*s'", (int)(n < 40 ? n : 40), (const char *)open);
}

// "..." or '...': UTF-8 as it stands, JSON's escapes, \' too; \udc80 to \udcff
// alone stand for the bytes 0x80 to 0xff.
int Parser::quoted(unsigned char quote) {
    const unsigned char *open = p_++;
    for (;;) {
        const unsigned char *run = p_;
        while (p_ < end_ && *p_ != quote && *p_ != '\\') ++p_;
        if (p_ > run && put(run, (size_t)(p_ - run)) < 0) return kNoMemory;
        if (p_ == end_) return fail(open, "unterminated string");
        if (*p_ == quote) {
            ++p_;
            return 0;
        }
        const unsigned char *escape = p_++;
        if (p_ == end_) return fail(open, "unterminated string");
        unsigned char c = *p_++, byte;
        switch (c) {
        case '"':
        case '\'':
        case '\\':
        case '/':
            byte = c;
            break;
        case 'b':
            byte = '\b';
            break;
        case 'f':
            byte = '\f';
            break;
        case 'n':
            byte = '\n';
            break;
        case 'r':
            byte = '\r';
            break;
        case 't':
            byte = '\t';
            break;
        case 'u': {
            auto four = [&](uint32_t *v) {
                if (end_ - p_ < 4) return false;
                *v = 0;
                for (int i = 0; i < 4; ++i) {
                    int h = hex_value(p_[i]);
                    if (h < 0) return false;
                    *v = *v << 4 | (uint32_t)h;
                }
                p_ += 4;
                return true;
            };
            uint32_t cp = 0;
            if (looking_at('{')) {  // \u{1F600}
                const unsigned char *digits = ++p_;
                while (p_ < end_ && hex_value(*p_) >= 0 && p_ - digits < 7) cp = cp << 4 | (uint32_t)hex_value(*p_++);
                if (p_ == digits || p_ - digits > 6 || !looking_at('}') || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
                    return fail(escape, "expected a code point in hex within \\u{}");
                }
                ++p_;
            } else if (!four(&cp)) {
                return fail(escape, "expected four hex digits after \\u");
            } else if (cp >= 0xdc80 && cp <= 0xdcff) {
                byte = (unsigned char)(cp & 0xff);
                break;
            }
            if (cp >= 0xd800 && cp <= 0xdbff) {
                uint32_t low;
                if (!(end_ - p_ >= 2 && p_[0] == '\\' && p_[1] == 'u')) return fail(escape, "a lone surrogate in \\u escapes");
                p_ += 2;
                if (!four(&low) || low < 0xdc00 || low > 0xdfff) return fail(escape, "a lone surrogate in \\u escapes");
                cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
            } else if (cp >= 0xdc00 && cp <= 0xdfff) {
                return fail(escape, "a lone surrogate in \\u escapes");
            }
            unsigned char utf8[4];
            size_t n;
            if (cp < 0x80) {
                utf8[0] = (unsigned char)cp, n = 1;
            } else if (cp < 0x800) {
                utf8[0] = (unsigned char)(0xc0 | cp >> 6), utf8[1] = (unsigned char)(0x80 | (cp & 0x3f)), n = 2;
            } else if (cp < 0x10000) {
                utf8[0] = (unsigned char)(0xe0 | cp >> 12), utf8[1] = (unsigned char)(0x80 | ((cp >> 6) & 0x3f));
                utf8[2] = (unsigned char)(0x80 | (cp & 0x3f)), n = 3;
            } else {
                utf8[0] = (unsigned char)(0xf0 | cp >> 18), utf8[1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3f));
                utf8[2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3f)), utf8[3] = (unsigned char)(0x80 | (cp & 0x3f));
                n = 4;
            }
            if (put(utf8, n) < 0) return kNoMemory;
            continue;
        }
        default:
            return fail(escape, "unknown escape '\\%c'", c >= 0x20 && c < 0x7f ? c : '?');
        }
        if (put_byte(byte) < 0) return kNoMemory;
    }
}

// The digits of h'' (4 bits each), up to its quote; spaces and comments between.
int Parser::hex_content(const unsigned char *open) {
    unsigned acc = 0;
    int half = 0;
    // Each digit adds half a byte: the output grows by at most half the text.
    unsigned char *p = room((size_t)(end_ - p_) / 2 + 1);
    if (!p) return kNoMemory;
    size_t length = out_->length;
    for (;;) {
        int status;
        if ((status = space()) < 0) return status;
        if (p_ == end_) return fail(open, "unterminated h''");
        if (*p_ == '\'') break;
        int v = hex_value(*p_);
        if (v < 0) return fail(p_, "not a hex digit in h''");
        ++p_;
        acc = acc << 4 | (unsigned)v;
        if (++half == 2) out_->data[length++] = (unsigned char)acc, acc = 0, half = 0;
    }
    if (half) return fail(p_, "an odd number of hex digits in h''");
    ++p_;
    out_->length = length;
    return 0;
}

// base64 or base64url; padding optional.
int Parser::base64_content(const unsigned char *open) {
    unsigned char *p = room((size_t)(end_ - p_) * 3 / 4 + 3);
    if (!p) return kNoMemory;
    size_t length = out_->length;
    uint32_t acc = 0;
    int count = 0, padding = 0;
    for (;;) {
        int status;
        if ((status = space(false)) < 0) return status;
        if (p_ == end_) return fail(open, "unterminated b64''");
        unsigned c = *p_;
        if (c == '\'') break;
        int v = c - 'A' < 26 ? (int)(c - 'A') : c - 'a' < 26 ? (int)(c - 'a' + 26) : c - '0' < 10 ? (int)(c - '0' + 52)
              : c == '+' || c == '-' ? 62 : c == '/' || c == '_' ? 63 : c == '=' ? 64 : -1;
        if (v < 0) return fail(p_, "not a base64 character in b64''");
        if (v == 64) {
            ++padding;
        } else {
            if (padding) return fail(p_, "base64 data after its padding");
            acc = acc << 6 | (uint32_t)v;
            if (++count == 4) {
                out_->data[length++] = (unsigned char)(acc >> 16);
                out_->data[length++] = (unsigned char)(acc >> 8);
                out_->data[length++] = (unsigned char)acc;
                acc = 0, count = 0;
            }
        }
        ++p_;
    }
    if (count == 1 || (padding && count + padding != 4)) return fail(p_, "b64'' ends in the middle of a group");
    if ((count == 2 && (acc & 0xf)) || (count == 3 && (acc & 0x3))) return fail(p_, "b64'' has bits left over");
    if (count == 2) out_->data[length++] = (unsigned char)(acc >> 4);
    if (count == 3) out_->data[length++] = (unsigned char)(acc >> 10), out_->data[length++] = (unsigned char)(acc >> 2);
    ++p_;
    out_->length = length;
    return 0;
}

// base32 (b32'') or base32hex (h32''), either case; padding optional.
int Parser::base32_content(const unsigned char *open, bool hex_alphabet) {
    unsigned char *p = room((size_t)(end_ - p_) * 5 / 8 + 5);
    if (!p) return kNoMemory;
    size_t length = out_->length;
    uint64_t acc = 0;
    int count = 0, padding = 0;
    for (;;) {
        int status;
        if ((status = space()) < 0) return status;
        if (p_ == end_) return fail(open, hex_alphabet ? "unterminated h32''" : "unterminated b32''");
        unsigned c = *p_;
        if (c == '\'') break;
        unsigned l = c | 0x20;
        int v = c == '=' ? 32 : -1;
        if (hex_alphabet) {
            if (c - '0' < 10) v = (int)(c - '0');
            else if (l - 'a' < 22) v = (int)(l - 'a' + 10);
        } else {
            if (l - 'a' < 26) v = (int)(l - 'a');
            else if (c - '2' < 6) v = (int)(c - '2' + 26);
        }
        if (v < 0) return fail(p_, "not a base32 character");
        if (v == 32) {
            ++padding;
        } else {
            if (padding) return fail(p_, "base32 data after its padding");
            acc = acc << 5 | (uint64_t)v;
            if (++count == 8) {
                for (int i = 4; i >= 0; --i) out_->data[length++] = (unsigned char)(acc >> (8 * i));
                acc = 0, count = 0;
            }
        }
        ++p_;
    }
    // 2, 4, 5 or 7 characters make 1 to 4 bytes; the bits beyond them must be zero.
    static const int bytes_of[8] = {0, -1, 1, -1, 2, 3, -1, 4};
    int bytes = bytes_of[count];
    if (bytes < 0 || (padding && count + padding != 8)) return fail(p_, "base32 ends in the middle of a group");
    int extra = count * 5 - bytes * 8;
    if (acc & ((1u << extra) - 1)) return fail(p_, "base32 has bits left over");
    acc >>= extra;
    for (int i = bytes - 1; i >= 0; --i) out_->data[length++] = (unsigned char)(acc >> (8 * i));
    ++p_;
    out_->length = length;
    return 0;
}

// float'<4, 8 or 16 hex digits>': a float of exactly those bits (NaN payloads).
int Parser::float_bits(const unsigned char *open) {
    uint64_t bits = 0;
    int digits = 0;
    for (;;) {
        int status;
        if ((status = space()) < 0) return status;
        if (p_ == end_) return fail(open, "unterminated float''");
        if (*p_ == '\'') break;
        int v = hex_value(*p_);
        if (v < 0 || digits == 16) return fail(p_, "float'' holds 4, 8 or 16 hex digits");
        bits = bits << 4 | (uint64_t)v;
        ++digits, ++p_;
    }
    ++p_;
    if (digits != 4 && digits != 8 && digits != 16) return fail(open, "float'' holds 4, 8 or 16 hex digits");
    unsigned char item[9];
    item[0] = (unsigned char)(digits == 4 ? 0xf9 : digits == 8 ? 0xfa : 0xfb);
    for (int i = 0; i < digits / 2; ++i) item[1 + i] = (unsigned char)(bits >> (8 * (digits / 2 - 1 - i)));
    return put(item, 1 + (size_t)digits / 2);
}

// Moves everything into place over the heads' room.
int Parser::finish() {
    if (patches_.size == 0) return 0;
    unsigned char *data = out_->data;
    size_t read = patches_[0].at, write = read;
    for (size_t i = 0; i < patches_.size; ++i) {
        Patch &patch = patches_[i];
        if (patch.at > read) {
            std::memmove(data + write, data + read, patch.at - read);
            write += patch.at - read;
        }
        std::memcpy(data + write, patch.head, patch.size);
        write += patch.size;
        read = patch.at + 9;
    }
    std::memmove(data + write, data + read, out_->length - read);
    out_->length = write + (out_->length - read);
    return 0;
}

// Line, column and character position of the fault's offset.
void locate(cbor_fault *fault, const unsigned char *text) {
    uint64_t line = 1, column = 1, position = 0;
    for (uint64_t i = 0; i < fault->offset; ++i) {
        unsigned char c = text[i];
        if ((c & 0xc0) == 0x80) continue;  // a continuation byte
        ++position;
        if (c == '\n') {
            ++line, column = 1;
        } else {
            ++column;
        }
    }
    fault->line = line, fault->column = column, fault->position = position;
}

}  // namespace

extern "C" int cbor_from_diag(cbor_generator *out, const char *text, size_t size, int sequence, cbor_fault *fault) {
    if (fault) fault->found = 0;
    if (!out) return kNoMemory;
    size_t start = out->length;
    const unsigned char *t = reinterpret_cast<const unsigned char *>(text);
    Parser parser(out, t, size, fault);
    int status = parser.run(sequence != 0);
    if (status < 0) {
        out->length = start;
        if (status == kFailed && fault) locate(fault, t);
    }
    return status;
}
