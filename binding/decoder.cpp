// loads and load: CBOR bytes to Python objects.
//
// A recursive descent over one cursor, the codec's own cbor_parser: heads and
// floats are read with the codec's reader pieces, and each item becomes its
// Python object straight from the input. Every declared length or count is
// checked against the bytes left before anything is made for it, so hostile
// input cannot make the decoder allocate more than the input could fill.
#include "python.hpp"

#include <datetime.h>

#include <cstdarg>
#include <algorithm>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "decoder.hpp"
#include "encoder.hpp"
#include "reader_inline.h"
#include "values.hpp"

namespace vantra {
namespace {

// An owned reference, released on every exit.
class Ref {
public:
    explicit Ref(PyObject *obj = nullptr) : obj_(obj) {}
    ~Ref() { Py_XDECREF(obj_); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    PyObject *get() const { return obj_; }
    PyObject *release() {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }

private:
    PyObject *obj_;
};

// A new reference from CPython, or unwind with its error.
inline PyObject *made(PyObject *obj) {
    if (!obj) throw PythonErrorSet();
    return obj;
}

constexpr unsigned char kBreakByte = 0xff;
// Containers are sized up front for at most this many items.
constexpr size_t kPresizeLimit = 1 << 12;
constexpr unsigned kIndefinite = 31;

// ---- Map keys --------------------------------------------------------------------

// Recent short ASCII keys, so that a key seen before costs one lookup and comes
// with its hash already computed. Only touched with the interpreter lock held,
// and no Python code runs between a lookup and its update.
constexpr size_t kKeyCacheSize = 1024;
constexpr size_t kKeyCacheLength = 32;

struct CachedKey {
    uint64_t hash;
    PyObject *str;
};
CachedKey key_cache[kKeyCacheSize];

bool is_ascii(const unsigned char *s, size_t n) {
    uint64_t any = 0;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, s + i, 8);
        any |= word;
    }
    for (; i < n; ++i) any |= s[i];
    return (any & 0x8080808080808080u) == 0;
}

PyObject *ascii_text(const unsigned char *s, size_t n) {
    PyObject *text = made(PyUnicode_New((Py_ssize_t)n, 127));
    std::memcpy(PyUnicode_DATA(text), s, n);
    return text;
}

// Text copied into a new str while it is checked for ASCII, 32 bytes a step:
// one pass over the input. Null, with no error set, when it is not ASCII.
PyObject *copy_if_ascii(const unsigned char *s, size_t n) {
    PyObject *text = made(PyUnicode_New((Py_ssize_t)n, 127));
    unsigned char *out = static_cast<unsigned char *>(PyUnicode_DATA(text));
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        uint64_t w[4];
        std::memcpy(w, s + i, 32);
        if ((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080u) {
            Py_DECREF(text);
            return nullptr;
        }
        std::memcpy(out + i, w, 32);
    }
    if (is_ascii(s + i, n - i)) {
        std::memcpy(out + i, s + i, n - i);
        return text;
    }
    Py_DECREF(text);
    return nullptr;
}

// The continuation bytes (10xxxxxx) of text and its largest byte, in a pass
// that checks nothing: for UTF-8, the number of its characters is the number
// of the other bytes, and its largest lead byte says how wide the widest is.
void scan_utf8(const unsigned char *s, size_t n, size_t &continuation, unsigned &largest) {
    size_t i = 0, count = 0;
    unsigned top = 0;
#if defined(__SSE2__) && defined(__x86_64__)
    const __m128i lead_bits = _mm_set1_epi8((char)0xc0), follow = _mm_set1_epi8((char)0x80);
    __m128i widest = _mm_setzero_si128();
    while (n - i >= 16) {
        // Each byte lane counts up to 255 blocks before it is summed.
        __m128i counts = _mm_setzero_si128();
        for (size_t blocks = 0; blocks < 255 && n - i >= 16; ++blocks, i += 16) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
            widest = _mm_max_epu8(widest, v);
            counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(_mm_and_si128(v, lead_bits), follow));
        }
        __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        count += (size_t)_mm_cvtsi128_si64(sums) + (size_t)_mm_extract_epi16(sums, 4);
    }
    unsigned char lanes[16];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(lanes), widest);
    for (unsigned char lane : lanes) top = std::max<unsigned>(top, lane);
#endif
    for (; i < n; ++i) {
        count += (s[i] & 0xc0) == 0x80;
        top = std::max<unsigned>(top, s[i]);
    }
    continuation = count;
    largest = top;
}

// UTF-8 decoded into a str's characters of Char, and checked as strictly as
// the interpreter checks it (no overlong forms, no surrogates, nothing past
// U+10FFFF). Every character written takes one byte that is no continuation
// byte, so out never passes what scan_utf8() counted. False when it is not
// UTF-8 (or holds a character wider than Char).
template <typename Char>
bool decode_utf8(const unsigned char *s, size_t n, Char *out) {
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
                    for (int k = 0; k < 8; ++k) out[k] = s[i + k];
                }
            }
            while (i < n && s[i] < 0x80) *out++ = s[i++];
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

// A str of the narrowest kind from UTF-8, or null (no error set) when it is
// not UTF-8.
PyObject *utf8_text(const unsigned char *s, size_t n) {
    size_t continuation;
    unsigned largest;
    scan_utf8(s, n, continuation, largest);
    // The widest character: below 0x80 with no lead byte, below 0x100 with
    // leads up to 0xc3, below 0x10000 with leads up to 0xef.
    Py_UCS4 widest = largest < 0x80 ? 0x7f : largest <= 0xc3 ? 0xff : largest < 0xf0 ? 0xffff : 0x10ffff;
    Ref text(made(PyUnicode_New((Py_ssize_t)(n - continuation), widest)));
    bool decoded;
    switch (PyUnicode_KIND(text.get())) {
    case PyUnicode_1BYTE_KIND:
        decoded = decode_utf8(s, n, PyUnicode_1BYTE_DATA(text.get()));
        break;
    case PyUnicode_2BYTE_KIND:
        decoded = decode_utf8(s, n, PyUnicode_2BYTE_DATA(text.get()));
        break;
    default:
        decoded = decode_utf8(s, n, PyUnicode_4BYTE_DATA(text.get()));
        break;
    }
    return decoded ? text.release() : nullptr;
}

// Up to eight bytes as one word, with fixed-size loads only.
inline uint64_t load_word(const unsigned char *s, size_t n) {
    uint64_t w = 0;
    if (n >= 8) {
        std::memcpy(&w, s, 8);
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, s, 4), std::memcpy(&b, s + n - 4, 4);
        w = (uint64_t)a << 32 | b;
    } else {
        for (size_t i = 0; i < n; ++i) w = w << 8 | s[i];
    }
    return w;
}

// Equal keys of n bytes (at most 32), compared by the same loads as hashed.
inline bool same_key(const unsigned char *a, const unsigned char *b, size_t n) {
    if (n <= 8) return load_word(a, n) == load_word(b, n);
    bool same = load_word(a, 8) == load_word(b, 8) && load_word(a + n - 8, 8) == load_word(b + n - 8, 8);
    if (n > 16) {
        same = same && load_word(a + 8, 8) == load_word(b + 8, 8) &&
               load_word(a + n - 16, 8) == load_word(b + n - 16, 8);
    }
    return same;
}

// A key of up to 32 bytes, mixed from its first and last eight bytes (and
// the eight after the first and before the last, when it has them) and its
// length. Every load stays within the key.
uint64_t key_hash(const unsigned char *s, size_t n) {
    uint64_t h = (n * 0x9e3779b97f4a7c15u) ^ load_word(s, n);
    if (n > 8) h = (h * 0xff51afd7ed558ccdu) ^ load_word(s + n - 8, 8);
    if (n > 16) h = (h * 0xff51afd7ed558ccdu) ^ load_word(s + 8, 8) ^ (load_word(s + n - 16, 8) << 1);
    h *= 0xc4ceb9fe1a85ec53u;
    return h ^ (h >> 29);
}

int digits(const char *s, int n);

// The ints 0 to 23, which an initial byte holds whole (the interpreter's own
// cached objects).
PyObject *small_ints[24];

// ---- Tags with a Python type ----------------------------------------------------------
// Each makes the tag's value from its decoded content: a new reference, or null
// with an error set. The modules they need are imported on first use.

// module.name, imported once and kept.
PyObject *imported(PyObject *&cache, const char *module, const char *name) {
    if (!cache) {
        Ref m(PyImport_ImportModule(module));
        if (m.get()) cache = PyObject_GetAttrString(m.get(), name);
    }
    return cache;
}

bool is_exact_int(PyObject *obj) { return PyLong_CheckExact(obj); }

PyObject *refuse(const char *why) {
    PyErr_SetString(PyExc_ValueError, why);
    return nullptr;
}

// [exponent, mantissa]: mantissa * 10**exponent, exactly.
PyObject *decimal_fraction(PyObject *content) {
    static PyObject *decimal;
    if (!PyList_CheckExact(content) || PyList_GET_SIZE(content) != 2 || !is_exact_int(PyList_GET_ITEM(content, 0)) ||
        !is_exact_int(PyList_GET_ITEM(content, 1))) {
        return refuse("not [int, int]");
    }
    if (!imported(decimal, "decimal", "Decimal")) return nullptr;
    Ref text(PyUnicode_FromFormat("%SE%S", PyList_GET_ITEM(content, 1), PyList_GET_ITEM(content, 0)));
    return text.get() ? PyObject_CallFunctionObjArgs(decimal, text.get(), nullptr) : nullptr;
}

PyObject *uuid_from(PyObject *content) {
    static PyObject *uuid;
    if (!PyBytes_CheckExact(content) || PyBytes_GET_SIZE(content) != 16) return refuse("not 16 bytes");
    if (!imported(uuid, "uuid", "UUID")) return nullptr;
    Ref args(PyTuple_New(0)), kwargs(Py_BuildValue("{sO}", "bytes", content));
    return args.get() && kwargs.get() ? PyObject_Call(uuid, args.get(), kwargs.get()) : nullptr;
}

// Days since 1970-01-01 (day 719163 of the proleptic Gregorian calendar).
PyObject *date_from_days(PyObject *content) {
    if (!is_exact_int(content)) return refuse("not an int");
    Ref epoch(PyLong_FromLong(719163));
    Ref ordinal(epoch.get() ? PyNumber_Add(content, epoch.get()) : nullptr);
    if (!ordinal.get()) return nullptr;
    return PyObject_CallMethod(reinterpret_cast<PyObject *>(PyDateTimeAPI->DateType), "fromordinal", "O",
                               ordinal.get());
}

PyObject *date_from_text(PyObject *content) {
    Py_ssize_t n;
    const char *s = PyUnicode_Check(content) ? PyUnicode_AsUTF8AndSize(content, &n) : nullptr;
    if (!s) {
        PyErr_Clear();
        return refuse("not a text");
    }
    int year = n == 10 && s[4] == '-' && s[7] == '-' ? digits(s, 4) : -1;
    int month = digits(s + 5, 2), day = digits(s + 8, 2);
    if (year < 0 || month < 0 || day < 0) return refuse("not YYYY-MM-DD");
    return PyDate_FromDate(year, month, day);
}

// The content was read as a map key would be, so its arrays are tuples.
PyObject *set_from(PyObject *content) {
    return PyTuple_CheckExact(content) ? PySet_New(content) : refuse("not an array");
}
PyObject *frozenset_from(PyObject *content) {
    return PyTuple_CheckExact(content) ? PyFrozenSet_New(content) : refuse("not an array");
}

// NumPy, once it has been needed; null (no error) when it cannot be imported.
PyObject *numpy_module() {
    static PyObject *numpy;
    static bool missing;
    if (!numpy && !missing) {
        numpy = PyImport_ImportModule("numpy");
        if (!numpy) {
            PyErr_Clear();
            missing = true;
        }
    }
    return numpy;
}

// The NumPy dtype of typed-array tag 64-87, or null (no error) when NumPy or
// the element type is missing (binary128, and the reserved 76).
PyObject *typed_array_dtype(uint64_t tag) {
    static const char *const kTypes[24] = {
        "u1", ">u2", ">u4", ">u8", "u1", "<u2", "<u4", "<u8",  // 64-71: unsigned (68 clamped)
        "i1", ">i2", ">i4", ">i8", nullptr, "<i2", "<i4", "<i8",  // 72-79: signed
        ">f2", ">f4", ">f8", nullptr, "<f2", "<f4", "<f8", nullptr,  // 80-87: floats
    };
    static PyObject *dtypes[24];
    size_t i = (size_t)(tag - 64);
    if (!kTypes[i]) return nullptr;
    if (!dtypes[i]) {
        PyObject *numpy = numpy_module();
        if (!numpy) return nullptr;
        dtypes[i] = PyObject_CallMethod(numpy, "dtype", "s", kTypes[i]);
        if (!dtypes[i]) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return dtypes[i];
}

bool is_ndarray(PyObject *obj) {
    static PyObject *ndarray;
    if (!ndarray) {
        PyObject *numpy = numpy_module();
        if (!numpy || !(ndarray = PyObject_GetAttrString(numpy, "ndarray"))) {
            PyErr_Clear();
            return false;
        }
    }
    return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject *>(ndarray));
}

// A writable array of its own, copied from the buffer.
PyObject *array_from_buffer(PyObject *buffer, PyObject *dtype) {
    static PyObject *frombuffer;
    if (!imported(frombuffer, "numpy", "frombuffer")) return nullptr;
    Ref view(PyObject_CallFunctionObjArgs(frombuffer, buffer, dtype, nullptr));
    return view.get() ? PyObject_CallMethod(view.get(), "copy", nullptr) : nullptr;
}

// ---- The decoder -------------------------------------------------------------------

class Decoder {
public:
    Decoder(const unsigned char *data, size_t size, uint64_t max_depth, PyObject *tag_hook, size_t start = 0,
            uint64_t base = 0)
        : in_{data, size, data + start, 0}, end_(data + size), limit_(max_depth ? max_depth : UINT64_MAX),
          tag_hook_(tag_hook), base_(base), stack_(" while decoding a CBOR object") {}

    // The item at the cursor, and where it ends.
    PyObject *next_item(size_t *offset) {
        Ref value(item(false));
        *offset = (size_t)(in_.cursor - in_.start);
        return value.release();
    }

    // The one item the input holds.
    PyObject *document() {
        if (in_.cursor == end_) truncated(in_.cursor, "empty input: no CBOR item");
        Ref value(item(false));
        if (in_.cursor != end_) fail(in_.cursor, "extra data after the CBOR item");
        return value.release();
    }

private:
    cbor_parser in_;
    const unsigned char *end_;
    uint64_t depth_ = 0;
    uint64_t limit_;  // max_depth, or no limit
    PyObject *tag_hook_;
    uint64_t base_;  // the stream offset of data[0], for positions in errors
    StackBound stack_;

    size_t left() const { return (size_t)(end_ - in_.cursor); }

    [[noreturn]] void fail(const unsigned char *at, const char *format, ...) {
        va_list args;
        va_start(args, format);
        Ref what(PyUnicode_FromFormatV(format, args));
        va_end(args);
        raise_decode_error(what.get(), at);
    }

    // As fail(), for input that ends inside an item: CBORDecodeEOF.
    [[noreturn]] void truncated(const unsigned char *at, const char *format, ...) {
        va_list args;
        va_start(args, format);
        Ref what(PyUnicode_FromFormatV(format, args));
        va_end(args);
        raise_decode_error(what.get(), at, nullptr, CBORDecodeEOF);
    }

    // As fail(), with the Python error that is set as its cause.
    [[noreturn]] void fail_from_error(const unsigned char *at, const char *what) {
        PyObject *type, *cause, *traceback;
        PyErr_Fetch(&type, &cause, &traceback);
        PyErr_NormalizeException(&type, &cause, &traceback);
        if (cause && traceback) PyException_SetTraceback(cause, traceback);
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        Ref message(PyUnicode_FromString(what));
        raise_decode_error(message.get(), at, cause);
    }

    // CBORDecodeError("<what> at byte N") with pos = N, raised from cause
    // (stolen) when there is one.
    [[noreturn]] void raise_decode_error(PyObject *what, const unsigned char *at, PyObject *cause = nullptr,
                                         PyObject *error_class = CBORDecodeError) {
        Ref caused_by(cause);
        unsigned long long pos = (unsigned long long)(at - in_.start) + base_;
        Ref message(what ? PyUnicode_FromFormat("%U at byte %llu", what, pos) : nullptr);
        Ref error(message.get() ? PyObject_CallFunctionObjArgs(error_class, message.get(), nullptr) : nullptr);
        Ref where(error.get() ? PyLong_FromUnsignedLongLong(pos) : nullptr);
        if (where.get() && PyObject_SetAttrString(error.get(), "pos", where.get()) == 0) {
            if (cause) PyException_SetCause(error.get(), caused_by.release());
            PyErr_SetObject(error_class, error.get());
        }
        throw PythonErrorSet();
    }

    // The head's argument; the cursor moves past the head.
    __attribute__((always_inline)) uint64_t argument(const unsigned char *at) {
        uint64_t arg;
        if (cbor_inline::read_head(&in_, &arg) < 0) bad_head(at);
        return arg;
    }

    [[noreturn]] __attribute__((noinline, cold)) void bad_head(const unsigned char *at) {
        unsigned ai = *at & 0x1f;
        if (ai >= 28 && ai <= 30) fail(at, "reserved additional information %u", ai);
        if (ai == kIndefinite) fail(at, "indefinite length is not allowed for an integer");
        truncated(at, "input ends inside the head of an item");
    }

    // A length or count that the rest of the input must be able to hold, at
    // `each` bytes a unit at the least.
    size_t counted(const unsigned char *at, uint64_t n, size_t each, const char *what, const char *units) {
        if (n > left() / each) {
            truncated(at, "%s of %llu %s cannot fit in the bytes left (%zu)", what, (unsigned long long)n, units, left());
        }
        return (size_t)n;
    }

    PyObject *item(bool key) {
        const unsigned char *at = in_.cursor;
        if (at == end_) truncated(at, "input ends where an item was expected");
        unsigned initial = *at;
        unsigned ai = initial & 0x1f;
        switch (initial >> 5) {
        case 0:
            return unsigned_int(argument(at));
        case 1:
            return negative_int(argument(at));
        case 2:
            if (ai == kIndefinite) return byte_chunks(at);
            return bytes(at, argument(at));
        case 3:
            if (ai == kIndefinite) return text_chunks(at);
            return text(at, argument(at), key);
        case 4:
            if (ai == kIndefinite) return array(at, key, true, 0);
            return array(at, key, false, argument(at));
        case 5:
            if (key) fail(at, "a map cannot be a map key");
            if (ai == kIndefinite) return map(at, true, 0);
            return map(at, false, argument(at));
        case 6:
            if (ai == kIndefinite) fail(at, "indefinite length is not allowed for a tag");
            return tag(argument(at), key);
        default:
            return simple(at, ai);
        }
    }

    static PyObject *unsigned_int(uint64_t n) {
        return made(n <= (uint64_t)LONG_MAX ? PyLong_FromLong((long)n) : PyLong_FromUnsignedLongLong(n));
    }

    static PyObject *negative_int(uint64_t n) {
        if (n <= (uint64_t)INT64_MAX) return made(PyLong_FromLongLong(-1 - (long long)n));
        Ref magnitude(made(PyLong_FromUnsignedLongLong(n)));
        return made(PyNumber_Invert(magnitude.get()));  // ~n is -1 - n
    }

    // A container's element. The scalars that fill most containers (ints,
    // floats, false, true, null, texts and byte strings) are made here without
    // item()'s dispatch and its call; `shallow` says that an element is within
    // max_depth, which element() checks for the rest.
    __attribute__((always_inline)) PyObject *member(bool key, bool shallow) {
        const unsigned char *at = in_.cursor;
        if (!shallow || at == end_) return element(at, key);
        unsigned initial = *at;
        switch (initial) {
        case 0x00 ... 0x17:
            in_.cursor += 1;
            Py_INCREF(small_ints[initial]);
            return small_ints[initial];
        case 0x18 ... 0x1b:
            return unsigned_int(argument(at));
        case 0x20 ... 0x3b:
            return negative_int(argument(at));
        case 0x40 ... 0x5b:
            return bytes(at, argument(at));
        case 0x60 ... 0x7b:
            return text(at, argument(at), key);
        case 0xf4 ... 0xf6:
            return constant(initial & 0x1f);
        case 0xf9:
            return real<2>(at);
        case 0xfa:
            return real<4>(at);
        case 0xfb:
            return real<8>(at);
        default:
            return element(at, key);
        }
    }

    PyObject *bytes(const unsigned char *at, uint64_t n) {
        size_t size = counted(at, n, 1, "byte string", "bytes");
        PyObject *value = made(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(in_.cursor), (Py_ssize_t)size));
        in_.cursor += size;
        return value;
    }

    // ASCII is its own UTF-8: copied without a decoding pass. A long text is
    // checked while it is copied, once its head has shown it is likely ASCII.
    // Other text is measured, then decoded straight into its str.
    PyObject *text_of(const unsigned char *at, const unsigned char *s, size_t n) {
        if (n < 64) {
            if (is_ascii(s, n)) return ascii_text(s, n);
        } else if (is_ascii(s, 64)) {
            if (PyObject *ascii = copy_if_ascii(s, n)) return ascii;
        }
        if (PyObject *value = utf8_text(s, n)) return value;
        // Not UTF-8: the interpreter's decoder says where and why.
        PyObject *value = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(s), (Py_ssize_t)n, "strict");
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) fail_from_error(at, "invalid UTF-8 in text string");
            throw PythonErrorSet();
        }
        return value;
    }

    PyObject *text(const unsigned char *at, uint64_t n, bool key) {
        size_t size = counted(at, n, 1, "text string", "bytes");
        const unsigned char *s = in_.cursor;
        in_.cursor += size;
        if (key && size <= kKeyCacheLength) return cached_key(at, s, size);
        return text_of(at, s, size);
    }

    PyObject *cached_key(const unsigned char *at, const unsigned char *s, size_t n) {
        if (!is_ascii(s, n)) return text_of(at, s, n);
        uint64_t hash = key_hash(s, n);
        CachedKey &slot = key_cache[hash & (kKeyCacheSize - 1)];
        if (slot.str && slot.hash == hash && (size_t)PyUnicode_GET_LENGTH(slot.str) == n &&
            same_key(static_cast<const unsigned char *>(PyUnicode_DATA(slot.str)), s, n)) {
            Py_INCREF(slot.str);
            return slot.str;
        }
        PyObject *value = ascii_text(s, n);
        if (PyObject_Hash(value) == -1) PyErr_Clear();  // a str's hash cannot fail; kept with it
        Py_XDECREF(slot.str);
        Py_INCREF(value);
        slot = CachedKey{hash, value};
        return value;
    }

    // The head of the next chunk of an indefinite string, or false at its break.
    bool next_chunk(const unsigned char *at, unsigned major_type, const char *what, const unsigned char *&chunk,
                    size_t &size) {
        if (in_.cursor == end_) truncated(at, "input ends inside an indefinite-length %s", what);
        chunk = in_.cursor;
        if (*chunk == kBreakByte) {
            in_.cursor += 1;
            return false;
        }
        if (*chunk >> 5 != major_type || (*chunk & 0x1f) == kIndefinite) {
            fail(chunk, "a chunk of an indefinite-length %s must be a definite-length %s", what, what);
        }
        size = counted(chunk, argument(chunk), 1, what, "bytes");
        in_.cursor += size;
        return true;
    }

    // The chunks are measured first, then copied once into the result.
    __attribute__((noinline)) PyObject *byte_chunks(const unsigned char *at) {
        in_.cursor += 1;
        const unsigned char *first = in_.cursor, *chunk;
        size_t size, total = 0;
        while (next_chunk(at, 2, "byte string", chunk, size)) total += size;
        Ref value(made(PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)total)));
        char *out = PyBytes_AS_STRING(value.get());
        const unsigned char *after = in_.cursor;
        in_.cursor = first;
        while (next_chunk(at, 2, "byte string", chunk, size)) {
            std::memcpy(out, in_.cursor - size, size);
            out += size;
        }
        in_.cursor = after;
        return value.release();
    }

    // Each chunk must be whole UTF-8 on its own.
    __attribute__((noinline)) PyObject *text_chunks(const unsigned char *at) {
        in_.cursor += 1;
        Ref parts(made(PyList_New(0)));
        const unsigned char *chunk;
        size_t size;
        while (next_chunk(at, 3, "text string", chunk, size)) {
            Ref part(text_of(chunk, in_.cursor - size, size));
            if (PyList_Append(parts.get(), part.get()) < 0) throw PythonErrorSet();
        }
        Ref empty(made(PyUnicode_New(0, 0)));
        return made(PyUnicode_Join(empty.get(), parts.get()));
    }

    // A container's element: one level deeper.
    PyObject *element(const unsigned char *at, bool key) {
        if (++depth_ > limit_) fail(at, "nesting deeper than max_depth=%llu", (unsigned long long)limit_);
        PyObject *value = item(key);
        --depth_;
        return value;
    }

    bool at_break() {
        if (in_.cursor == end_) return false;  // item() reports the end
        if (*in_.cursor != kBreakByte) return false;
        in_.cursor += 1;
        return true;
    }

    // Adds item (stolen) to a list being filled: in place while the room that
    // the list's last growth left lasts, through PyList_Append (which grows it
    // geometrically) when it is full.
    static void append(PyObject *list, PyObject *item) {
        auto *l = reinterpret_cast<PyListObject *>(list);
        Py_ssize_t size = Py_SIZE(l);
        if (size < l->allocated) {
            l->ob_item[size] = item;
            l->ob_base.ob_size = size + 1;
            return;
        }
        int status = PyList_Append(list, item);
        Py_DECREF(item);
        if (status < 0) throw PythonErrorSet();
    }

    // A list, or a tuple when it is (part of) a map key, so that it can be hashed.
    PyObject *array(const unsigned char *at, bool key, bool indefinite, uint64_t n) {
        NestingGuard guard(stack_);
        size_t count = 0;
        if (indefinite) {
            in_.cursor += 1;
        } else {
            count = counted(at, n, 1, "array", "items");
        }
        bool shallow = depth_ < limit_;
        if (indefinite || count > kPresizeLimit) {
            // Grown as items arrive: a large count that the input does not
            // go on to fill costs no more memory than what it does hold.
            Ref list(made(PyList_New(0)));
            for (size_t i = 0; indefinite ? !at_break() : i < count; ++i) append(list.get(), member(key, shallow));
            return key ? made(PyList_AsTuple(list.get())) : list.release();
        }
        if (key) {
            Ref tuple(made(PyTuple_New((Py_ssize_t)count)));
            for (size_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple.get(), i, member(true, shallow));
            return tuple.release();
        }
        Ref list(made(PyList_New((Py_ssize_t)count)));
        for (size_t i = 0; i < count; ++i) PyList_SET_ITEM(list.get(), i, member(false, shallow));
        return list.release();
    }

    // A str key's hash is known already (the key cache computed it); 3.13
    // no longer offers inserting with it.
    static int set_item(PyObject *dict, PyObject *key, PyObject *value) {
#if PY_VERSION_HEX < 0x030D0000
        if (PyUnicode_CheckExact(key)) {
            Py_hash_t hash = reinterpret_cast<PyASCIIObject *>(key)->hash;
            if (hash != -1) return _PyDict_SetItem_KnownHash(dict, key, value, hash);
        }
#endif
        return PyDict_SetItem(dict, key, value);
    }

    PyObject *map(const unsigned char *at, bool indefinite, uint64_t n) {
        NestingGuard guard(stack_);
        size_t count = 0;
        if (indefinite) {
            in_.cursor += 1;
        } else {
            count = counted(at, n, 2, "map", "pairs");
        }
        Ref dict(made(count > 5 ? _PyDict_NewPresized((Py_ssize_t)std::min(count, kPresizeLimit)) : PyDict_New()));
        bool shallow = depth_ < limit_;
        for (size_t i = 0; indefinite || i < count; ++i) {
            if (indefinite && at_break()) break;
            const unsigned char *key_at = in_.cursor;
            Ref key(member(true, shallow));
            Ref value(member(false, shallow));
            if (set_item(dict.get(), key.get(), value.get()) < 0) {
                if (PyErr_ExceptionMatches(PyExc_TypeError)) fail_from_error(key_at, "unhashable map key");
                throw PythonErrorSet();
            }
        }
        return dict.release();
    }

    __attribute__((noinline)) PyObject *tag(uint64_t number, bool key) {
        NestingGuard guard(stack_);  // chains of tags nest as deeply as containers
        const unsigned char *at = in_.cursor;
        switch (number) {
        case 0:
            return text_datetime(at);
        case 1:
            return epoch_datetime(at);
        case 2:
        case 3:
            return bignum(at, number == 3);
        case 4:
            return converted(at, number, item(false), decimal_fraction, "a decimal fraction [exponent, mantissa]");
        case 37:
            return converted(at, number, item(false), uuid_from, "16 bytes of a UUID");
        case 100:
            return converted(at, number, item(false), date_from_days, "a number of days that a date holds");
        case 258:
            return converted(at, number, item(true), key ? frozenset_from : set_from, "an array of hashable items");
        case 1004:
            return converted(at, number, item(false), date_from_text, "an RFC 3339 full-date text");
        case 55799:  // self-described CBOR: the mark carries no meaning
            return item(key);
        default:
            break;
        }
        if (number >= 64 && number <= 87) {
            if (PyObject *array = typed_array(at, number)) return array;
        } else if (number == 40) {
            Ref content(item(false));
            if (PyObject *array = shaped_array(at, content.get())) return array;
            return tagged(number, content.get());
        }
        Ref value(item(key));
        return tagged(number, value.get());
    }

    // A tag without a built-in meaning.
    PyObject *tagged(uint64_t number, PyObject *value) {
        if (tag_hook_) {
            Ref number_object(made(PyLong_FromUnsignedLongLong(number)));
            return made(PyObject_CallFunctionObjArgs(tag_hook_, number_object.get(), value, nullptr));
        }
        return made(make_tag(number, value));
    }

    // The tag's Python value made from its content by make (a new reference, or
    // null with an error set); content that make refuses is malformed.
    PyObject *converted(const unsigned char *at, uint64_t number, PyObject *content, PyObject *(*make)(PyObject *),
                        const char *what) {
        Ref held(content);
        PyObject *value = make(content);
        if (!value) {
            if (!is_ordinary_error()) throw PythonErrorSet();
            Ref message(PyUnicode_FromFormat("tag %llu content is not %s", (unsigned long long)number, what));
            if (!message.get()) throw PythonErrorSet();
            fail_from_error(at, PyUnicode_AsUTF8(message.get()));
        }
        return value;
    }

    // RFC 8746 typed arrays as NumPy arrays, copied once from the input; null
    // (nothing read) when NumPy is missing or the tag has no NumPy type.
    PyObject *typed_array(const unsigned char *at, uint64_t number) {
        PyObject *dtype = typed_array_dtype(number);
        if (!dtype) return nullptr;
        const unsigned char *content = in_.cursor;
        if (content == end_ || *content >> 5 != 2) {
            return converted(at, number, item(false), [](PyObject *) -> PyObject * {
                PyErr_SetString(PyExc_TypeError, "not a byte string");
                return nullptr;
            }, "a byte string");
        }
        Ref raw(typed_array_bytes(content));
        PyObject *array = array_from_buffer(raw.get(), dtype);
        if (!array) {
            if (!is_ordinary_error()) throw PythonErrorSet();
            fail_from_error(at, "typed array content is not a whole number of elements");
        }
        return array;
    }

    // A typed array's byte string: a view of the input when it is one piece.
    PyObject *typed_array_bytes(const unsigned char *content) {
        if ((*content & 0x1f) == kIndefinite) return item(false);
        size_t size = counted(content, argument(content), 1, "byte string", "bytes");
        char *data = reinterpret_cast<char *>(const_cast<unsigned char *>(in_.cursor));
        in_.cursor += size;
        return made(PyMemoryView_FromMemory(data, (Py_ssize_t)size, PyBUF_READ));
    }

    // Tag 40: [dimensions, typed array] as the array in that shape (row-major);
    // null (no error) when the elements are not a typed array.
    PyObject *shaped_array(const unsigned char *at, PyObject *content) {
        if (!PyList_CheckExact(content) || PyList_GET_SIZE(content) != 2) {
            fail(at, "tag 40 content is not [dimensions, array]");
        }
        PyObject *dims = PyList_GET_ITEM(content, 0), *elements = PyList_GET_ITEM(content, 1);
        if (!PyList_CheckExact(dims)) fail(at, "tag 40 dimensions are not an array");
        if (!is_ndarray(elements)) return nullptr;
        Ref shape(made(PyList_AsTuple(dims)));
        PyObject *array = PyObject_CallMethod(elements, "reshape", "O", shape.get());
        if (!array) {
            if (!is_ordinary_error()) throw PythonErrorSet();
            fail_from_error(at, "tag 40 dimensions do not match its elements");
        }
        return array;
    }
    __attribute__((noinline)) PyObject *bignum(const unsigned char *at, bool negative) {
        Ref content(item(false));
        if (!PyBytes_CheckExact(content.get())) fail(at, "tag %d content is not a byte string", negative ? 3 : 2);
        Ref magnitude(made(_PyLong_FromByteArray(reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(content.get())),
                                                 (size_t)PyBytes_GET_SIZE(content.get()), 0, 0)));
        return negative ? made(PyNumber_Invert(magnitude.get())) : magnitude.release();
    }

    PyObject *text_datetime(const unsigned char *at);
    PyObject *epoch_datetime(const unsigned char *at);

    __attribute__((noinline)) PyObject *simple(const unsigned char *at, unsigned ai) {
        switch (ai) {
        case 20 ... 23:
            return constant(ai);
        case 24: {
            uint64_t n = argument(at);
            if (n < 32) fail(at, "simple value %u written in two bytes", (unsigned)n);
            return made(make_simple((unsigned char)n));
        }
        case 25:
            return real<2>(at);
        case 26:
            return real<4>(at);
        case 27:
            return real<8>(at);
        case 28:
        case 29:
        case 30:
            fail(at, "reserved additional information %u", ai);
        case kIndefinite:
            fail(at, "break outside an indefinite-length item");
        default:
            in_.cursor += 1;
            return made(make_simple((unsigned char)ai));
        }
    }

    // false, true, null or undefined: additional information 20 to 23.
    PyObject *constant(unsigned ai) {
        in_.cursor += 1;
        PyObject *value = ai == 20 ? Py_False : ai == 21 ? Py_True : ai == 22 ? Py_None : Undefined;
        Py_INCREF(value);
        return value;
    }

    // A float of kWidth bytes.
    template <int kWidth>
    PyObject *real(const unsigned char *at) {
        uint64_t bits;
        if (cbor_inline::read_argument(&in_, &bits, kWidth) < 0) truncated(at, "input ends inside a float");
        if (kWidth == 2) bits = cbor_inline::half_as_double(bits);
        if (kWidth == 4) bits = cbor_inline::single_as_double((uint32_t)bits);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return made(PyFloat_FromDouble(value));
    }
};

// ---- Dates and times ---------------------------------------------------------------

// Digits at s[0..n): their value, or -1.
int digits(const char *s, int n) {
    int v = 0;
    for (int i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// An RFC 3339 date-time: YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM), the
// fraction cut to microseconds. False when the text is not one.
bool parse_rfc3339(const char *s, Py_ssize_t n, int field[7], int &offset_seconds) {
    if (n < 20 || s[4] != '-' || s[7] != '-' || (s[10] != 'T' && s[10] != 't') || s[13] != ':' || s[16] != ':') {
        return false;
    }
    const int at[6][2] = {{0, 4}, {5, 2}, {8, 2}, {11, 2}, {14, 2}, {17, 2}};
    for (int i = 0; i < 6; ++i) {
        if ((field[i] = digits(s + at[i][0], at[i][1])) < 0) return false;
    }
    field[6] = 0;
    Py_ssize_t i = 19;
    if (s[i] == '.') {
        Py_ssize_t first = ++i;
        int scale = 100000;
        for (; i < n && s[i] >= '0' && s[i] <= '9'; ++i, scale /= 10) field[6] += scale * (s[i] - '0');
        if (i == first) return false;
    }
    if (i == n - 1 && (s[i] == 'Z' || s[i] == 'z')) {
        offset_seconds = 0;
        return true;
    }
    if (i != n - 6 || (s[i] != '+' && s[i] != '-') || s[i + 3] != ':') return false;
    int hours = digits(s + i + 1, 2), minutes = digits(s + i + 4, 2);
    if (hours < 0 || minutes < 0 || hours > 23 || minutes > 59) return false;
    offset_seconds = (s[i] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
    return true;
}

PyObject *utc_or_offset(int offset_seconds) {
    if (offset_seconds == 0) {
        Py_INCREF(PyDateTime_TimeZone_UTC);
        return PyDateTime_TimeZone_UTC;
    }
    Ref delta(made(PyDelta_FromDSU(0, offset_seconds, 0)));
    return made(PyTimeZone_FromOffset(delta.get()));
}

PyObject *Decoder::text_datetime(const unsigned char *at) {
    Ref content(item(false));
    const char *what = "tag 0 content is not an RFC 3339 date/time text";
    if (!PyUnicode_Check(content.get())) fail(at, "%s", what);
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(content.get(), &n);
    int f[7], offset;
    if (!s) PyErr_Clear();
    if (!s || !parse_rfc3339(s, n, f, offset)) fail(at, "%s", what);
    Ref zone(utc_or_offset(offset));
    PyObject *value = PyDateTimeAPI->DateTime_FromDateAndTime(f[0], f[1], f[2], f[3], f[4], f[5], f[6], zone.get(),
                                                              PyDateTimeAPI->DateTimeType);
    if (!value) fail_from_error(at, what);
    return value;
}

PyObject *Decoder::epoch_datetime(const unsigned char *at) {
    Ref content(item(false));
    PyObject *seconds = content.get();
    const char *what = "tag 1 content is not a number of seconds that a datetime holds";
    if (PyBool_Check(seconds) || !(PyLong_CheckExact(seconds) || PyFloat_CheckExact(seconds))) fail(at, "%s", what);
    Ref args(made(PyTuple_Pack(2, seconds, PyDateTime_TimeZone_UTC)));
    PyObject *value = PyDateTime_FromTimestamp(args.get());
    if (!value) {
        if (!is_ordinary_error()) throw PythonErrorSet();
        fail_from_error(at, what);
    }
    return value;
}

// ---- Entries -------------------------------------------------------------------------

PyObject *interned_data, *interned_max_depth, *interned_tag_hook, *interned_read;

}  // namespace

int DecodeOptions::set(const char *function, PyObject *name, PyObject *value) {
    PyObject *names[2] = {interned_max_depth, interned_tag_hook};
    switch (keyword_index(name, names, 2)) {
    case 0: {
        if (!PyLong_Check(value) || PyBool_Check(value)) {
            PyErr_Format(PyExc_TypeError, "max_depth must be an int, not %.200s", Py_TYPE(value)->tp_name);
            return -1;
        }
        unsigned long long depth = PyLong_AsUnsignedLongLong(value);
        if (depth == (unsigned long long)-1 && PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError, "max_depth must be from 0 (no limit) to 2**64-1, not %R", value);
            return -1;
        }
        max_depth = depth;
        return 1;
    }
    case 1:
        if (value != Py_None && !PyCallable_Check(value)) {
            PyErr_Format(PyExc_TypeError, "tag_hook must be callable or None, not %.200s", Py_TYPE(value)->tp_name);
            return -1;
        }
        Py_XSETREF(tag_hook, value == Py_None ? nullptr : (Py_INCREF(value), value));
        return 1;
    default:
        (void)function;
        return 0;
    }
}

int DecodeOptions::traverse(visitproc visit, void *arg) {
    Py_VISIT(tag_hook);
    return 0;
}

void DecodeOptions::clear() { Py_CLEAR(tag_hook); }

namespace {

// Takes loads' options, and `first` (data or fp) by position or by name.
bool parse_arguments(const char *function, PyObject *first_name, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, PyObject *&first, DecodeOptions &options) {
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given", function, nargs);
        return false;
    }
    first = nargs ? args[0] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k), *value = args[nargs + k];
        if (keyword_index(keyword, &first_name, 1) == 0) {
            if (first) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", function, keyword);
                return false;
            }
            first = value;
            continue;
        }
        int taken = options.set(function, keyword, value);
        if (taken < 0) return false;
        if (taken == 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, keyword);
            return false;
        }
    }
    if (!first) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%U'", function, first_name);
        return false;
    }
    return true;
}

PyObject *decode(const unsigned char *data, size_t size, const DecodeOptions &options) {
    try {
        return Decoder(data, size, options.max_depth, options.tag_hook).document();
    } catch (const PythonErrorSet &) {
        return nullptr;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

// Any C-contiguous buffer, read in place.
PyObject *decode_buffer(PyObject *data, const DecodeOptions &options) {
    if (PyBytes_CheckExact(data)) {
        return decode(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(data)), (size_t)PyBytes_GET_SIZE(data),
                      options);
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    PyObject *value = decode(static_cast<const unsigned char *>(view.buf), (size_t)view.len, options);
    PyBuffer_Release(&view);
    return value;
}

PyObject *loads_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *data;
    DecodeOptions options;
    if (nargs == 1 && !kwnames) return decode_buffer(args[0], options);  // loads(data): the common call
    if (!parse_arguments("loads", interned_data, args, nargs, kwnames, data, options)) return nullptr;
    return decode_buffer(data, options);
}

}  // namespace

PyObject *decode_item(const unsigned char *data, size_t size, size_t *offset, const DecodeOptions &options,
                      uint64_t base) {
    try {
        return Decoder(data, size, options.max_depth, options.tag_hook, *offset, base).next_item(offset);
    } catch (const PythonErrorSet &) {
        return nullptr;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    }
}

namespace {

const char loads_doc[] =
    "loads(data, *, max_depth=0, tag_hook=None)\n--\n\n"
    "Decode the one CBOR item that data holds (bytes or any C-contiguous buffer).\n\n"
    "Integers of any size, floats (half and single widened exactly), bytes, str,\n"
    "lists, dicts (arrays used as map keys become tuples), True, False, None and\n"
    "undefined. Tags 0 and 1 become timezone-aware datetimes, 2 and 3 ints, 4\n"
    "Decimal, 37 UUID, 100 and 1004 date, 258 set (frozenset in a key), 64-87\n"
    "and 40 NumPy arrays (when NumPy imports), 55799 its content; any other tag\n"
    "becomes Tag(tag, value), or tag_hook(tag, value) when tag_hook is given.\n"
    "Other simple values become Simple(n).\n\n"
    "max_depth limits nesting as dumps counts it (0: no limit). Malformed input\n"
    "raises CBORDecodeError (a ValueError) saying what was wrong and at which byte.";

PyMethodDef decoder_methods[] = {
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads_entry)), METH_FASTCALL | METH_KEYWORDS,
     loads_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_decoder(PyObject *module) {
    PyDateTime_IMPORT;
    interned_data = PyUnicode_InternFromString("data");
    interned_max_depth = PyUnicode_InternFromString("max_depth");
    interned_tag_hook = PyUnicode_InternFromString("tag_hook");
    interned_read = PyUnicode_InternFromString("read");
    for (long i = 0; i < 24; ++i) {
        if (!(small_ints[i] = PyLong_FromLong(i))) return false;
    }
    if (!PyDateTimeAPI || !interned_data || !interned_max_depth || !interned_tag_hook || !interned_read) return false;
    return PyModule_AddFunctions(module, decoder_methods) == 0;
}

}  // namespace vantra
