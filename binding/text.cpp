// Text both ways through simdutf. Every conversion it makes here is of input
// it has validated first, into room of the exact size it has measured.
#include "text.hpp"

#include <cstring>

#include "simdutf.h"

namespace vantra {

// The count a transcoding into measured room returns, not needed there (GCC
// keeps warning at a (void) cast of it).
inline void unused_count(size_t) {}
namespace {

// Below these sizes a scalar loop costs less than simdutf's calls (each
// dispatched through a table, and set up for long input).
constexpr size_t kShortAscii = 64;       // bytes of UTF-8 to decode, before an ASCII check
constexpr size_t kShortUtf8 = 256;       // bytes of UTF-8 that is not ASCII, to decode

// ---- Short text, scalar --------------------------------------------------------------

// The widest character that UTF-8 whose largest byte is `largest` can hold:
// below 0x80 with no lead byte, below 0x100 with leads up to 0xc3, below
// 0x10000 with leads up to 0xef.
Py_UCS4 widest_for(unsigned largest) {
    return largest < 0x80 ? 0x7f : largest <= 0xc3 ? 0xff : largest < 0xf0 ? 0xffff : 0x10ffff;
}

// UTF-8 decoded into a str's characters of Char, and checked as strictly as
// the interpreter checks it (no overlong forms, no surrogates, nothing past
// U+10FFFF). Every character written takes one byte that is no continuation
// byte, so out never passes what was counted. False when it is not UTF-8 (or
// holds a character wider than Char).
template <typename Char>
bool decode_short(const unsigned char *s, size_t n, Char *out) {
    auto follows = [](unsigned byte) { return (byte & 0xc0) == 0x80; };
    size_t i = 0;
    while (i < n) {
        unsigned c = s[i];
        if (c < 0x80) {
            // A run of ASCII, a word at a time while it lasts.
            for (uint64_t word; n - i >= 8; i += 8, out += 8) {
                std::memcpy(&word, s + i, 8);
                if (word & 0x8080808080808080u) break;
                if (sizeof(Char) == 1) {
                    std::memcpy(out, &word, 8);
                } else {
                    for (int k = 0; k < 8; ++k) out[k] = (Char)s[i + k];
                }
            }
            while (i < n && s[i] < 0x80) *out++ = (Char)s[i++];
        } else if (c < 0xe0) {
            if (c < 0xc2 || (sizeof(Char) == 1 && c > 0xc3) || n - i < 2 || !follows(s[i + 1])) return false;
            *out++ = (Char)((c & 0x1f) << 6 | (s[i + 1] & 0x3f));
            i += 2;
        } else if (c < 0xf0) {
            if (sizeof(Char) == 1 || n - i < 3 || !follows(s[i + 1]) || !follows(s[i + 2])) return false;
            uint32_t code = (c & 0x0f) << 12 | (s[i + 1] & 0x3f) << 6 | (s[i + 2] & 0x3f);
            if (code < 0x800 || (code >= 0xd800 && code <= 0xdfff)) return false;
            *out++ = (Char)code;
            i += 3;
        } else {
            if (sizeof(Char) < 4 || c > 0xf4 || n - i < 4 || !follows(s[i + 1]) || !follows(s[i + 2]) ||
                !follows(s[i + 3])) {
                return false;
            }
            uint32_t code = (c & 0x07) << 18 | (s[i + 1] & 0x3f) << 12 | (s[i + 2] & 0x3f) << 6 | (s[i + 3] & 0x3f);
            if (code < 0x10000 || code > 0x10ffff) return false;
            *out++ = (Char)code;
            i += 4;
        }
    }
    return true;
}

// Eight bytes at a time: the continuation bytes (10xxxxxx) of UTF-8 are as
// many as its bytes less its characters, and its lead bytes say how wide its
// widest character is (0xc4 and up: past U+FF; 0xf0 and up: past U+FFFF).
PyObject *short_str_from_utf8(const unsigned char *s, size_t n) {
    constexpr uint64_t kHigh = 0x8080808080808080u;
    size_t continuation = 0, i = 0;
    uint64_t any = 0, past_ff = 0, past_ffff = 0;
    auto take = [&](uint64_t w) {
        any |= w;
        continuation += vantra_portable::popcount64(w & ~(w << 1) & kHigh);
        uint64_t lead = w & (w << 1) & kHigh;  // 11xxxxxx
        past_ff |= lead & ((w & 0x3c3c3c3c3c3c3c3cu) + 0x7c7c7c7c7c7c7c7cu);
        past_ffff |= lead & (w << 2) & (w << 3);
    };
    for (uint64_t w; n - i >= 8; i += 8) {
        std::memcpy(&w, s + i, 8);
        take(w);
    }
    if (i < n) {
        uint64_t w = 0;
        std::memcpy(&w, s + i, n - i);  // the last bytes, zeros after them
        take(w);
    }
    unsigned largest = past_ffff & kHigh ? 0xf0 : past_ff & kHigh ? 0xc4 : any & kHigh ? 0x80 : 0;
    PyObject *text = PyUnicode_New((Py_ssize_t)(n - continuation), widest_for(largest));
    if (!text) return nullptr;
    bool decoded;
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        decoded = decode_short(s, n, PyUnicode_1BYTE_DATA(text));
        break;
    case PyUnicode_2BYTE_KIND:
        decoded = decode_short(s, n, PyUnicode_2BYTE_DATA(text));
        break;
    default:
        decoded = decode_short(s, n, PyUnicode_4BYTE_DATA(text));
        break;
    }
    if (decoded) return text;
    Py_DECREF(text);
    return nullptr;
}

// ---- Encoding ------------------------------------------------------------------------

// Below these many characters (per kind) a str's UTF-8 is written by the
// scalar loop below, which there costs less than simdutf's calls, each
// dispatched through a table and set up for long input. Past them the loop's
// branch on each character's width mispredicts on text that mixes widths:
// 5k strs of 1-15 words of every width took 89 ns each by the loop, 48 ns
// through simdutf.
constexpr size_t kScalarLatin1 = 16;
constexpr size_t kScalarUcs2 = 8;
constexpr size_t kScalarUcs4 = 8;

// The UTF-8 of n characters, measured and written in one pass at out, which
// has room for utf8_bound() bytes: its end, or null at a surrogate (in a str
// every surrogate is a lone one, which UTF-8 cannot hold).
template <typename Char>
unsigned char *put_short_utf8(const Char *c, size_t n, unsigned char *out) {
    const Char *end = c + n;
    while (c != end) {
        uint32_t code = *c++;
        if (code < 0x80) {
            *out++ = (unsigned char)code;
        } else if (sizeof(Char) == 1 || code < 0x800) {
            out[0] = (unsigned char)(0xc0 | code >> 6), out[1] = (unsigned char)(0x80 | (code & 0x3f));
            out += 2;
        } else if (sizeof(Char) == 2 || code < 0x10000) {
            if (code - 0xd800 < 0x800) return nullptr;
            out[0] = (unsigned char)(0xe0 | code >> 12), out[1] = (unsigned char)(0x80 | (code >> 6 & 0x3f));
            out[2] = (unsigned char)(0x80 | (code & 0x3f));
            out += 3;
        } else {
            out[0] = (unsigned char)(0xf0 | code >> 18), out[1] = (unsigned char)(0x80 | (code >> 12 & 0x3f));
            out[2] = (unsigned char)(0x80 | (code >> 6 & 0x3f)), out[3] = (unsigned char)(0x80 | (code & 0x3f));
            out += 4;
        }
    }
    return out;
}

template <typename Char>
size_t short_utf8(const void *data, size_t n, unsigned char *out) {
    unsigned char *end = put_short_utf8(static_cast<const Char *>(data), n, out);
    return end ? (size_t)(end - out) : SIZE_MAX;
}

// UTF-32 into UTF-8 by way of UTF-16, a block at a time: simdutf's direct
// conversion takes a scalar path for every block that holds a character past
// U+FFFF, and was measured 5 times slower on such text than these two steps.
// Returns the UTF-8's size, or SIZE_MAX at a surrogate.
size_t utf32_to_utf8(const char32_t *c, size_t n, char *out) {
    char *start = out;
    constexpr size_t kBlock = 512;
    char16_t units[2 * kBlock];
    for (size_t at = 0; at < n; at += kBlock) {
        size_t count = n - at < kBlock ? n - at : kBlock;
        size_t written = simdutf::convert_utf32_to_utf16(c + at, count, units);
        if (!written) return SIZE_MAX;  // a surrogate
        out += simdutf::convert_valid_utf16_to_utf8(units, written, out);
    }
    return (size_t)(out - start);
}

}  // namespace

// ---- Through simdutf ------------------------------------------------------------------

PyObject *str_from_utf8(const unsigned char *s, size_t n) {
    if (n < kShortAscii) return short_str_from_utf8(s, n);
    const char *bytes = reinterpret_cast<const char *>(s);
    simdutf::result ascii = simdutf::validate_ascii_with_errors(bytes, n);
    if (ascii.error == simdutf::error_code::SUCCESS) {
        PyObject *text = PyUnicode_New((Py_ssize_t)n, 127);
        if (text) std::memcpy(PyUnicode_DATA(text), s, n);
        return text;
    }
    if (n < kShortUtf8) return short_str_from_utf8(s, n);
    // From the first byte that is not ASCII on: where a character starts.
    size_t ascii_prefix = ascii.count;
    const char *rest = bytes + ascii_prefix;
    size_t rest_size = n - ascii_prefix;
    if (!simdutf::validate_utf8(rest, rest_size)) return nullptr;
    size_t characters = ascii_prefix + simdutf::count_utf8(rest, rest_size);
    if (ascii_prefix + simdutf::utf16_length_from_utf8(rest, rest_size) != characters) {
        // Surrogate pairs in UTF-16: characters past U+FFFF.
        PyObject *text = PyUnicode_New((Py_ssize_t)characters, 0x10ffff);
        if (text) unused_count(simdutf::convert_valid_utf8_to_utf32(bytes, n, reinterpret_cast<char32_t *>(PyUnicode_DATA(text))));
        return text;
    }
    // Latin-1 when every character fits a byte: tried when the first that is
    // not ASCII does (a lead byte of 0xc2 or 0xc3), which it refuses at the
    // first wider one.
    if (s[ascii_prefix] <= 0xc3) {
        PyObject *text = PyUnicode_New((Py_ssize_t)characters, 0xff);
        if (!text) return nullptr;
        char *out = static_cast<char *>(PyUnicode_DATA(text));
        std::memcpy(out, s, ascii_prefix);
        if (simdutf::convert_utf8_to_latin1(rest, rest_size, out + ascii_prefix) == characters - ascii_prefix) {
            return text;
        }
        Py_DECREF(text);
    }
    PyObject *text = PyUnicode_New((Py_ssize_t)characters, 0xffff);
    if (text) unused_count(simdutf::convert_valid_utf8_to_utf16(bytes, n, reinterpret_cast<char16_t *>(PyUnicode_DATA(text))));
    return text;
}

size_t put_utf8_of(PyObject *text, unsigned char *out) {
    const void *data = PyUnicode_DATA(text);
    size_t length = (size_t)PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        if (length < kScalarLatin1) return short_utf8<Py_UCS1>(data, length, out);
        return simdutf::convert_latin1_to_utf8(static_cast<const char *>(data), length, reinterpret_cast<char *>(out));
    case PyUnicode_2BYTE_KIND: {
        if (length < kScalarUcs2) return short_utf8<Py_UCS2>(data, length, out);
        // Refused by the conversion: a lone surrogate; counted as one
        // character: a pair of them, which is two characters in a str.
        auto characters = static_cast<const char16_t *>(data);
        size_t size = simdutf::convert_utf16_to_utf8(characters, length, reinterpret_cast<char *>(out));
        return size && simdutf::count_utf16(characters, length) == length ? size : SIZE_MAX;
    }
    default: {
        auto characters = static_cast<const char32_t *>(data);
        if (length < kScalarUcs4) return short_utf8<Py_UCS4>(data, length, out);
        return utf32_to_utf8(characters, length, reinterpret_cast<char *>(out));
    }
    }
}

size_t utf8_size_of(PyObject *text) {
    const void *data = PyUnicode_DATA(text);
    size_t length = (size_t)PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return simdutf::utf8_length_from_latin1(static_cast<const char *>(data), length);
    case PyUnicode_2BYTE_KIND: {
        // Every surrogate is a lone one in a str: a pair of them is two
        // characters, not the one that UTF-16 would make of them.
        auto characters = static_cast<const char16_t *>(data);
        if (!simdutf::validate_utf16(characters, length) || simdutf::count_utf16(characters, length) != length) {
            return SIZE_MAX;
        }
        return simdutf::utf8_length_from_utf16(characters, length);
    }
    default: {
        auto characters = static_cast<const char32_t *>(data);
        if (!simdutf::validate_utf32(characters, length)) return SIZE_MAX;
        return simdutf::utf8_length_from_utf32(characters, length);
    }
    }
}

void write_utf8_of(PyObject *text, unsigned char *out, size_t size) {
    const void *data = PyUnicode_DATA(text);
    size_t length = (size_t)PyUnicode_GET_LENGTH(text);
    char *to = reinterpret_cast<char *>(out);
    if (size == length) {
        std::memcpy(to, data, size);  // Latin-1 that is all ASCII (a str made by some C code)
        return;
    }
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        unused_count(simdutf::convert_latin1_to_utf8(static_cast<const char *>(data), length, to));
        break;
    case PyUnicode_2BYTE_KIND:
        unused_count(simdutf::convert_valid_utf16_to_utf8(static_cast<const char16_t *>(data), length, to));
        break;
    default:
        unused_count(utf32_to_utf8(static_cast<const char32_t *>(data), length, to));
        break;
    }
}

bool measure_utf8(const unsigned char *s, size_t n, size_t &characters, Py_UCS4 &largest) {
    const char *bytes = reinterpret_cast<const char *>(s);
    if (!simdutf::validate_utf8(bytes, n)) return false;
    characters = simdutf::count_utf8(bytes, n);
    if (characters == n) {
        largest = 0x7f;
    } else if (simdutf::utf16_length_from_utf8(bytes, n) != characters) {
        largest = 0x10ffff;
    } else {
        // Valid UTF-8 without characters past U+FFFF: a lead byte from 0xc4
        // on starts one past U+FF.
        largest = 0xff;
        for (size_t i = 0; i < n; ++i) {
            if (s[i] >= 0xc4) {
                largest = 0xffff;
                break;
            }
        }
    }
    return true;
}

size_t decode_utf8_into(PyObject *text, size_t at, const unsigned char *s, size_t n) {
    const char *bytes = reinterpret_cast<const char *>(s);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return simdutf::convert_valid_utf8_to_latin1(bytes, n, static_cast<char *>(PyUnicode_DATA(text)) + at);
    case PyUnicode_2BYTE_KIND:
        return simdutf::convert_valid_utf8_to_utf16(bytes, n, static_cast<char16_t *>(PyUnicode_DATA(text)) + at);
    default:
        return simdutf::convert_valid_utf8_to_utf32(bytes, n, static_cast<char32_t *>(PyUnicode_DATA(text)) + at);
    }
}

}  // namespace vantra
