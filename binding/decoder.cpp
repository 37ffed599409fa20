// loads: CBOR bytes to Python objects.
//
// A recursive descent over one cursor, the codec's own cbor_parser: heads and
// floats are read with the codec's reader pieces, and each item becomes its
// Python object straight from the input. Every declared length or count is
// checked against the bytes left before anything is made for it, so hostile
// input cannot make the decoder allocate more than the input could fill. The
// tags with a Python type are read by their families (tags/), found through
// one table.
#include "python.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "decode.hpp"
#include "tags/tags.hpp"
#include "text.hpp"
#include "values.hpp"

// Explicit case labels for runs of initial bytes: the switch they make is the
// same jump table as GNU case ranges would make.
#define CASES4(b) case (b): case (b) + 1: case (b) + 2: case (b) + 3
#define CASES8(b) CASES4(b): CASES4((b) + 4)
#define CASES16(b) CASES8(b): CASES8((b) + 8)
#define CASES24(b) CASES16(b): CASES8((b) + 16)
#define CASES28(b) CASES24(b): CASES4((b) + 24)

namespace vantra {
namespace {

constexpr unsigned char kBreakByte = 0xff;
// Containers are sized up front for at most this many items.
constexpr size_t kPresizeLimit = 1 << 12;
constexpr unsigned kIndefinite = 31;
// Text shorter than this is checked for ASCII and copied here; longer text,
// and any that is not ASCII, goes to simdutf.
constexpr size_t kShortText = 64;

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

// n bytes (at most 23) that are ASCII, where at least eight bytes can be read
// at s: a word or three, whatever n is.
VANTRA_INLINE bool short_is_ascii(const unsigned char *s, size_t n) {
    uint64_t word, tail;
    std::memcpy(&word, s, 8);
    if (n < 8) {
        // The first n bytes of the word only.
#if defined(VANTRA_LITTLE_ENDIAN)
        word &= ((uint64_t)1 << (8 * n)) - 1;
#elif defined(VANTRA_BIG_ENDIAN)
        word &= ~(~(uint64_t)0 >> (8 * n));
#else
        word = 0;
        std::memcpy(&word, s, n);
#endif
    } else {
        std::memcpy(&tail, s + n - 8, 8);
        word |= tail;
        if (n > 16) {
            std::memcpy(&tail, s + 8, 8);
            word |= tail;
        }
    }
    return (word & 0x8080808080808080u) == 0;
}

// A compact ASCII str's characters follow its header. One character is the
// interpreter's own str of it, as its decoder gives (and none is the empty str).
VANTRA_INLINE PyObject *ascii_text(const unsigned char *s, size_t n) {
    if (n == 1) return PyUnicode_FromOrdinal(s[0]);
    PyObject *text = PyUnicode_New((Py_ssize_t)n, 127);
    if (text) cbor_inline::copy_bytes(reinterpret_cast<unsigned char *>(reinterpret_cast<PyASCIIObject *>(text) + 1), s, n);
    return text;
}

VANTRA_INLINE PyObject *float_of(uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return PyFloat_FromDouble(value);
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


// The ints 0 to 23, which an initial byte holds whole (the interpreter's own
// cached objects).
PyObject *small_ints[24];



// Doubles the room of a full list, up to `most` items (more than it holds):
// false with an error set. Twice what the list holds at most, and never more
// than the input left can fill. (PyList_Append's growth by an eighth copied a
// long list many times over.)
VANTRA_NOINLINE bool grow_list(PyListObject *list, size_t most) {
    size_t room = (size_t)list->allocated, size = (size_t)Py_SIZE(list);
    size_t want = room < 8 ? 8 : room * 2;
    if (want > most) want = most;
    if (want <= size) want = size + 1;  // a shared list that a hook has grown meanwhile
    if (want > (size_t)PY_SSIZE_T_MAX / sizeof(PyObject *)) {
        PyErr_NoMemory();
        return false;
    }
    void *items = PyMem_Realloc(list->ob_item, want * sizeof(PyObject *));
    if (!items) {
        PyErr_NoMemory();
        return false;
    }
    list->ob_item = static_cast<PyObject **>(items);
    list->allocated = (Py_ssize_t)want;
    return true;
}

// Adds item (stolen) to a list that can hold `most` items: in place while its
// room lasts, grown when it is full. False with an error set (item released).
VANTRA_INLINE bool append(PyObject *list, PyObject *item, size_t most) {
    auto *l = reinterpret_cast<PyListObject *>(list);
    Py_ssize_t size = Py_SIZE(l);
    if (size == l->allocated && !grow_list(l, most)) {
        Py_DECREF(item);
        return false;
    }
    l->ob_item[size] = item;
    Py_SET_SIZE(l, size + 1);
    return true;
}

}  // namespace

// Lists are filled while no Python code can see them: untracked by the
// garbage collector from before the first element whose making may run Python
// code or a collection, until every slot is filled, so that neither a hook nor
// a collector's callback can reach one (through gc.get_objects() or
// gc.get_referrers()) while it has an empty slot. From 3.12 on a list of
// scalars alone is never untracked: making them runs no Python code, and the
// collector runs only where Python code does. Before 3.12 making any object
// the collector tracks (the error for a bad scalar, say) may run a collection
// and its callbacks at once, so every list is untracked from the start.
class HiddenList {
public:
    explicit HiddenList(size_t size) : list_(PyList_New((Py_ssize_t)size)) {
#if PY_VERSION_HEX < 0x030C0000
        if (list_) hide();
#endif
    }
    PyObject *get() const { return list_.get(); }
    explicit operator bool() const { return (bool)list_; }
    void hide() {
        if (!hidden_) PyObject_GC_UnTrack(list_.get());
        hidden_ = true;
    }
    // The full list, seen by the collector again.
    PyObject *release() {
        if (hidden_) PyObject_GC_Track(list_.get());
        return list_.release();
    }

private:
    Ref list_;
    bool hidden_ = false;
};

// ---- Errors ------------------------------------------------------------------------

namespace {

PyObject *interned_pos;

}  // namespace

PyObject *Decoder::raise(PyObject *error_class, const unsigned char *at, PyObject *message, PyObject *cause) {
    Ref caused_by(cause), text(message);
    Ref error(text ? PyObject_CallFunctionObjArgs(error_class, text.get(), nullptr) : nullptr);
    Ref where(error ? PyLong_FromUnsignedLongLong((unsigned long long)(at - in_.start) + base_) : nullptr);
    if (where && PyObject_SetAttr(error.get(), interned_pos, where.get()) == 0) {
        if (cause) PyException_SetCause(error.get(), caused_by.release());
        PyErr_SetObject(error_class, error.get());
    }
    return nullptr;
}

// "<what> at byte N", what made from a printf format (the decoder's messages
// hold C values only).
PyObject *Decoder::message(const unsigned char *at, const char *format, va_list args) {
    char text[320];
    int n = std::vsnprintf(text, sizeof text - 40, format, args);
    if (n < 0) n = 0;
    if (n > (int)sizeof text - 41) n = (int)sizeof text - 41;
    n += std::snprintf(text + n, 40, " at byte %llu", (unsigned long long)(at - in_.start) + base_);
    return PyUnicode_DecodeUTF8(text, n, "replace");
}

PyObject *Decoder::text_at(const unsigned char *at, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyObject *text = message(at, format, args);
    va_end(args);
    return text;
}

PyObject *Decoder::fail(const unsigned char *at, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyObject *text = message(at, format, args);
    va_end(args);
    return raise(CBORDecodeError, at, text, nullptr);
}

PyObject *Decoder::truncated(const unsigned char *at, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyObject *text = message(at, format, args);
    va_end(args);
    return raise(CBORDecodeEOF, at, text, nullptr);
}

PyObject *Decoder::fail_from_error(const unsigned char *at, const char *what) {
    PyObject *type, *cause, *traceback;
    PyErr_Fetch(&type, &cause, &traceback);
    PyErr_NormalizeException(&type, &cause, &traceback);
    if (cause && traceback) PyException_SetTraceback(cause, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return raise(CBORDecodeError, at, text_at(at, "%s", what), cause);
}

void Decoder::overrun(const unsigned char *at, const char *what, uint64_t n, const char *units) {
    // Bytes that cannot become a complete item are malformed rather than
    // short when the scan that frames the stream readers' items says so: the
    // readers then agree, however the input reached them.
    cbor_scan *scan = cbor_scan_create(0, scan_depth(options_));
    if (!scan) {
        PyErr_NoMemory();
        return;
    }
    size_t used;
    int status = cbor_scan_feed(scan, at, (size_t)(end_ - at), &used);
    if (status < 0) {
        raise_scan_failure(status, scan, (uint64_t)(at - in_.start) + base_, options_);
    } else {
        truncated(at, "%s of %llu %s cannot fit in the bytes left (%zu)", what, (unsigned long long)n, units, left());
    }
    cbor_scan_free(scan);
}

void Decoder::bad_head(const unsigned char *at) {
    unsigned ai = *at & 0x1f;
    if (ai >= 28 && ai <= 30) {
        fail(at, "reserved additional information %u", ai);
    } else if (ai == kIndefinite) {
        fail(at, "indefinite length is not allowed for an integer");
    } else {
        truncated(at, "input ends inside the head of an item");
    }
}

// ---- The walk ------------------------------------------------------------------------

PyObject *Decoder::document() {
    if (in_.cursor == end_) return truncated(in_.cursor, "empty input: no CBOR item");
    Ref value(item(Place::kValue));
    if (value && in_.cursor != end_) return fail(in_.cursor, "extra data after the CBOR item");
    return value.release();
}

namespace {

PyObject *unsigned_int(uint64_t n) {
    return n <= (uint64_t)LONG_MAX ? PyLong_FromLong((long)n) : PyLong_FromUnsignedLongLong(n);
}

PyObject *negative_int(uint64_t n) {
    if (n <= (uint64_t)INT64_MAX) return PyLong_FromLongLong(-1 - (long long)n);
    Ref magnitude(PyLong_FromUnsignedLongLong(n));
    return magnitude ? PyNumber_Invert(magnitude.get()) : nullptr;  // ~n is -1 - n
}

}  // namespace

PyObject *Decoder::item(Place place) {
    const unsigned char *at = in_.cursor;
    if (at == end_) return truncated(at, "input ends where an item was expected");
    unsigned initial = *at;
    unsigned ai = initial & 0x1f;
    uint64_t arg = 0;
    switch (initial >> 5) {
    case 0:
        if (ai < 24) {
            in_.cursor += 1;
            Py_INCREF(small_ints[ai]);
            return small_ints[ai];
        }
        return argument(at, arg) ? unsigned_int(arg) : nullptr;
    case 1:
        return argument(at, arg) ? negative_int(arg) : nullptr;
    case 2:
        if (ai == kIndefinite) return byte_chunks(at);
        return argument(at, arg) ? bytes(at, arg) : nullptr;
    case 3:
        if (ai == kIndefinite) return text_chunks(at);
        return argument(at, arg) ? text(at, arg, place) : nullptr;
    case 4:
        if (ai == kIndefinite) return array(at, place, true, 0);
        return argument(at, arg) ? array(at, place, false, arg) : nullptr;
    case 5:
        if (place == Place::kKey) return fail(at, "a map cannot be a map key");
        if (place == Place::kElement) return fail(at, "a map cannot be a set element");
        if (ai == kIndefinite) return map(at, place, true, 0);
        return argument(at, arg) ? map(at, place, false, arg) : nullptr;
    case 6:
        if (ai == kIndefinite) return fail(at, "indefinite length is not allowed for a tag");
        return argument(at, arg) ? tag(at, arg, place) : nullptr;
    default:
        return simple(at, ai);
    }
}

// A container's element. The scalars that fill most containers (ints,
// floats, false, true, null, texts and byte strings) are made here without
// item()'s dispatch and its call. `fast` says that an element is within
// max_depth and outside any string namespace (container() works it out once
// for all its elements). Each fixed-width item is checked once against the
// bytes left, and read whole; when they fall short, element() says why.
VANTRA_INLINE PyObject *Decoder::member(Place place, bool fast) {
    if (PyObject *value = scalar(place, fast)) return value;
    return PyErr_Occurred() ? nullptr : element(in_.cursor, place);
}

// member()'s own paths: the element made, or null with an error set, or null
// with none (the cursor unmoved) for an element that element() must read.
// Making these runs no Python code and no garbage collection.
VANTRA_INLINE PyObject *Decoder::scalar(Place place, bool fast) {
    const unsigned char *at = in_.cursor;
    if (!fast || at == end_) return nullptr;
    size_t left = (size_t)(end_ - at);
    unsigned initial = *at;
    uint64_t arg;
    switch (initial) {
    CASES24(0x00):
        in_.cursor = at + 1;
        Py_INCREF(small_ints[initial]);
        return small_ints[initial];
    case 0x18:
        if (left < 2) break;
        in_.cursor = at + 2;
        return PyLong_FromLongLong((long long)at[1]);
    case 0x19:
        if (left < 3) break;
        in_.cursor = at + 3;
        return PyLong_FromLongLong((long long)cbor_inline::read_be(at + 1, 2));
    case 0x1a:
        if (left < 5) break;
        in_.cursor = at + 5;
        return PyLong_FromLongLong((long long)cbor_inline::read_be(at + 1, 4));
    case 0x1b:
        if (left < 9) break;
        in_.cursor = at + 9;
        return unsigned_int(cbor_inline::read_be(at + 1, 8));
    CASES24(0x20):
        in_.cursor = at + 1;
        return PyLong_FromLongLong(-1 - (long long)(initial & 0x1f));
    case 0x38:
        if (left < 2) break;
        in_.cursor = at + 2;
        return PyLong_FromLongLong(-1 - (long long)at[1]);
    case 0x39:
        if (left < 3) break;
        in_.cursor = at + 3;
        return PyLong_FromLongLong(-1 - (long long)cbor_inline::read_be(at + 1, 2));
    case 0x3a:
        if (left < 5) break;
        in_.cursor = at + 5;
        return PyLong_FromLongLong(-1 - (long long)cbor_inline::read_be(at + 1, 4));
    case 0x3b:
        if (left < 9) break;
        in_.cursor = at + 9;
        return negative_int(cbor_inline::read_be(at + 1, 8));
    CASES28(0x40):
        return argument(at, arg) ? bytes(at, arg) : nullptr;
    CASES24(0x60):
        return short_text(at, initial & 0x1f, place);
    CASES4(0x78):
        return argument(at, arg) ? text(at, arg, place) : nullptr;
    case 0xf4:
    case 0xf5:
    case 0xf6:
        return constant(initial & 0x1f);
    case 0xf9:
        if (left < 3) break;
        in_.cursor = at + 3;
        return float_of(cbor_inline::half_as_double(cbor_inline::read_be(at + 1, 2)));
    case 0xfa:
        if (left < 5) break;
        in_.cursor = at + 5;
        return float_of(cbor_inline::single_as_double((uint32_t)cbor_inline::read_be(at + 1, 4)));
    case 0xfb:
        if (left < 9) break;
        in_.cursor = at + 9;
        return float_of(cbor_inline::read_be(at + 1, 8));
    default:
        break;
    }
    return nullptr;
}

// A text of up to 23 bytes, its length in the initial byte at `at`.
VANTRA_INLINE PyObject *Decoder::short_text(const unsigned char *at, size_t n, Place place) {
    const unsigned char *s = at + 1;
    in_.cursor = s;
    size_t readable = left();
    if (n > readable) return text(at, n, place);  // says where the input ends
    in_.cursor = s + n;
    if (place == Place::kKey) return cached_key(at, s, n);
    if (readable >= 8 ? short_is_ascii(s, n) : is_ascii(s, n)) return ascii_text(s, n);
    return text_of(at, s, n);
}

// A container's element: one level deeper.
PyObject *Decoder::element(const unsigned char *at, Place place) {
    if (++depth_ > limit_) return fail(at, "nesting deeper than max_depth=%llu", (unsigned long long)limit_);
    PyObject *value = item(place);
    --depth_;
    return value;
}

PyObject *Decoder::bytes(const unsigned char *at, uint64_t n) {
    size_t size;
    if (!counted(at, n, 1, "byte string", "bytes", size)) return nullptr;
    PyObject *value = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(in_.cursor), (Py_ssize_t)size);
    in_.cursor += size;
    if (namespaces_ && value && !note_string(value, size)) Py_CLEAR(value);
    return value;
}

// Short ASCII text is copied as it is checked; other text goes through
// simdutf, validated and transcoded straight into a str of its width.
PyObject *Decoder::text_of(const unsigned char *at, const unsigned char *s, size_t n) {
    if (n < kShortText && is_ascii(s, n)) return ascii_text(s, n);
    if (PyObject *value = str_from_utf8(s, n)) return value;
    if (PyErr_Occurred()) return nullptr;
    // Not UTF-8: the interpreter's decoder says where and why, or replaces
    // what is not, as str_errors says.
    PyObject *value = PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(s), (Py_ssize_t)n, options_.str_errors);
    if (!value && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        return fail_from_error(at, "invalid UTF-8 in text string");
    }
    return value;
}

PyObject *Decoder::text(const unsigned char *at, uint64_t n, Place place) {
    size_t size;
    if (!counted(at, n, 1, "text string", "bytes", size)) return nullptr;
    const unsigned char *s = in_.cursor;
    in_.cursor += size;
    PyObject *value = place == Place::kKey && size <= kKeyCacheLength ? cached_key(at, s, size) : text_of(at, s, size);
    if (namespaces_ && value && !note_string(value, size)) Py_CLEAR(value);
    return value;
}

PyObject *Decoder::cached_key(const unsigned char *at, const unsigned char *s, size_t n) {
    if (!is_ascii(s, n)) return text_of(at, s, n);
    uint64_t hash = key_hash(s, n);
    CachedKey &slot = key_cache[hash & (kKeyCacheSize - 1)];
    if (slot.str && slot.hash == hash && (size_t)PyUnicode_GET_LENGTH(slot.str) == n &&
        same_key(static_cast<const unsigned char *>(PyUnicode_DATA(slot.str)), s, n)) {
        Py_INCREF(slot.str);
        return slot.str;
    }
    PyObject *value = ascii_text(s, n);
    if (!value) return nullptr;
    if (PyObject_Hash(value) == -1) PyErr_Clear();  // a str's hash cannot fail; kept with it
    Py_XDECREF(slot.str);
    Py_INCREF(value);
    slot = CachedKey{hash, value};
    return value;
}

// The next chunk of an indefinite string: 1 with the place of its head and
// its size (its content ends at the cursor), 0 at its break, -1 with an
// error set.
int Decoder::next_chunk(const unsigned char *at, unsigned major_type, const char *what, const unsigned char *&chunk,
                        size_t &size) {
    if (in_.cursor == end_) {
        truncated(at, "input ends inside an indefinite-length %s", what);
        return -1;
    }
    const unsigned char *head = in_.cursor;
    if (*head == kBreakByte) {
        in_.cursor += 1;
        return 0;
    }
    if (*head >> 5 != major_type || (*head & 0x1f) == kIndefinite) {
        fail(head, "a chunk of an indefinite-length %s must be a definite-length %s", what, what);
        return -1;
    }
    uint64_t n;
    if (!argument(head, n) || !counted(head, n, 1, what, "bytes", size)) return -1;
    chunk = head;
    in_.cursor += size;
    return 1;
}

// The chunks are measured first, then copied once into the result.
PyObject *Decoder::byte_chunks(const unsigned char *at) {
    in_.cursor += 1;
    const unsigned char *first = in_.cursor, *chunk;
    size_t size, total = 0;
    int more;
    while ((more = next_chunk(at, 2, "byte string", chunk, size)) > 0) total += size;
    if (more < 0) return nullptr;
    PyObject *value = PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)total);
    if (!value) return nullptr;
    char *out = PyBytes_AS_STRING(value);
    const unsigned char *after = in_.cursor;
    in_.cursor = first;
    while (next_chunk(at, 2, "byte string", chunk, size) > 0) {
        std::memcpy(out, in_.cursor - size, size);
        out += size;
    }
    in_.cursor = after;
    return value;
}

// Each chunk must be whole UTF-8 on its own. The chunks are measured first
// (their characters and the widest of them), then decoded once, each straight
// into its place in the result: memory stays within the result and the input.
PyObject *Decoder::text_chunks(const unsigned char *at) {
    in_.cursor += 1;
    const unsigned char *first = in_.cursor, *chunk, *refused = nullptr, *refused_content = nullptr;
    size_t size, characters = 0, refused_size = 0;
    Py_UCS4 largest = 0;
    int more;
    while ((more = next_chunk(at, 3, "text string", chunk, size)) > 0) {
        size_t count;
        Py_UCS4 widest;
        if (refused) continue;  // the chunks' structure is checked to the end first
        if (measure_utf8(in_.cursor - size, size, count, widest)) {
            characters += count;
            largest = std::max(largest, widest);
        } else {
            refused = chunk;
            refused_content = in_.cursor - size;
            refused_size = size;
        }
    }
    if (more < 0) return nullptr;
    if (refused) {
        // Not UTF-8 on its own: the interpreter's decoder says where and
        // why, or every chunk is decoded with str_errors' handler.
        if (std::strcmp(options_.str_errors, "strict") != 0) return lenient_text_chunks(at, first);
        Ref value(text_of(refused, refused_content, refused_size));
        return nullptr;
    }
    Ref text(PyUnicode_New((Py_ssize_t)characters, largest));
    if (!text) return nullptr;
    const unsigned char *after = in_.cursor;
    in_.cursor = first;
    size_t written = 0;
    while (next_chunk(at, 3, "text string", chunk, size) > 0) {
        written += decode_utf8_into(text.get(), written, in_.cursor - size, size);
    }
    in_.cursor = after;
    return text.release();
}

// Each chunk decoded on its own, with str_errors' handler where it is not
// UTF-8, into one result: measured first, then written. The handlers allowed
// are the interpreter's own (no Python code, the same text each time), so a
// chunk that is not UTF-8 is decoded in both passes rather than kept: memory
// stays within the result and one chunk's text, not an object a chunk.
PyObject *Decoder::lenient_text_chunks(const unsigned char *at, const unsigned char *first) {
    const unsigned char *chunk, *after = nullptr;
    size_t size, characters = 0;
    Py_UCS4 largest = 0;
    Ref text;
    for (int pass = 0; pass < 2; ++pass) {
        in_.cursor = first;
        while (next_chunk(at, 3, "text string", chunk, size) > 0) {
            size_t count;
            Py_UCS4 widest;
            const unsigned char *s = in_.cursor - size;
            if (measure_utf8(s, size, count, widest)) {
                if (text) {
                    characters += decode_utf8_into(text.get(), characters, s, size);
                } else {
                    characters += count;
                    largest = std::max(largest, widest);
                }
                continue;
            }
            Ref part(text_of(chunk, s, size));
            if (!part) return nullptr;
            Py_ssize_t length = PyUnicode_GET_LENGTH(part.get());
            if (text) {
                // Checked against the room and the width measured.
                if (PyUnicode_CopyCharacters(text.get(), (Py_ssize_t)characters, part.get(), 0, length) < 0) {
                    return nullptr;
                }
            } else {
                largest = std::max(largest, PyUnicode_MAX_CHAR_VALUE(part.get()));
            }
            characters += (size_t)length;
        }
        if (text) break;
        after = in_.cursor;
        text.reset(PyUnicode_New((Py_ssize_t)characters, largest));
        if (!text) return nullptr;
        characters = 0;
    }
    in_.cursor = after;
    return text.release();
}

bool Decoder::at_break() {
    if (in_.cursor == end_ || *in_.cursor != kBreakByte) return false;  // item() reports the end
    in_.cursor += 1;
    return true;
}

// An item of a list being filled: the list is hidden first when it is not a
// scalar that scalar() makes.
VANTRA_INLINE PyObject *Decoder::list_item(HiddenList &list, Place place, bool fast) {
    if (PyObject *value = scalar(place, fast)) return value;
    if (PyErr_Occurred()) return nullptr;
    list.hide();
    return element(in_.cursor, place);
}

// The items of an array, each read as `items` says, in a list.
PyObject *Decoder::list_of(const unsigned char *at, bool indefinite, uint64_t n, Place items) {
    if (!enter_nesting(stack_)) return nullptr;
    struct Leave {
        StackBound &stack;
        ~Leave() { leave_nesting(stack); }
    } leave{stack_};
    size_t count = 0;
    if (indefinite) {
        in_.cursor += 1;
    } else if (!counted(at, n, 1, "array", "items", count)) {
        return nullptr;
    }
    bool fast = fast_members();
    if (!indefinite && count <= kPresizeLimit) {
        HiddenList list(count);
        if (!list) return nullptr;
        for (size_t i = 0; i < count; ++i) {
            PyObject *value = list_item(list, items, fast);
            if (!value) return nullptr;
            PyList_SET_ITEM(list.get(), i, value);
        }
        return list.release();
    }
    // Grown as items arrive: a large count that the input does not go on to
    // fill costs no more than twice what it does hold.
    HiddenList list(0);
    if (!list) return nullptr;
    if (!indefinite) {
        for (size_t i = 0; i < count; ++i) {
            PyObject *value = list_item(list, items, fast);
            if (!value || !append(list.get(), value, count)) return nullptr;
        }
    } else {
        while (!at_break()) {
            PyObject *value = list_item(list, items, fast);
            // Every item takes a byte at least.
            if (!value || !append(list.get(), value, (size_t)PyList_GET_SIZE(list.get()) + 1 + left())) return nullptr;
        }
    }
    return list.release();
}

// A list, or a tuple when it is (part of) a map key or a set element, so that
// it can be hashed. The tuple is made from the full list: no half-filled
// tuple is ever visible.
PyObject *Decoder::array(const unsigned char *at, Place place, bool indefinite, uint64_t n) {
    PyObject *list = list_of(at, indefinite, n, place);
    if (!list || place == Place::kValue) return list;
    PyObject *tuple = PyList_AsTuple(list);
    Py_DECREF(list);
    return tuple;
}

// Hashes the key first, so that only a key that cannot be hashed is reported
// as one; any other error (a key's __eq__ raising) is its own.
bool Decoder::set_item(PyObject *dict, PyObject *key, PyObject *value, const unsigned char *key_at) {
    Py_hash_t hash;
    if (!PyUnicode_CheckExact(key) || (hash = reinterpret_cast<PyASCIIObject *>(key)->hash) == -1) {
        hash = PyObject_Hash(key);
        if (hash == -1) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) fail_from_error(key_at, "unhashable map key");
            return false;
        }
    }
#if PY_VERSION_HEX < 0x030D0000
    return _PyDict_SetItem_KnownHash(dict, key, value, hash) == 0;
#else
    return PyDict_SetItem(dict, key, value) == 0;  // 3.13 no longer offers inserting with a known hash
#endif
}

PyObject *Decoder::map(const unsigned char *at, Place, bool indefinite, uint64_t n) {
    size_t count = 0;
    if (!indefinite && !counted(at, n, 2, "map", "pairs", count)) return nullptr;
    Ref dict(count > 5 ? _PyDict_NewPresized((Py_ssize_t)std::min(count, kPresizeLimit)) : PyDict_New());
    return dict ? map_items(dict.get(), indefinite, count) : nullptr;
}

// Fills dict (borrowed) with a map's pairs: the cursor is past its head, or at
// the head of an indefinite one. A new reference to it, or object_hook's value
// for it.
VANTRA_INLINE PyObject *Decoder::map_items(PyObject *dict, bool indefinite, size_t count) {
    if (!enter_nesting(stack_)) return nullptr;
    struct Leave {
        StackBound &stack;
        ~Leave() { leave_nesting(stack); }
    } leave{stack_};
    if (indefinite) in_.cursor += 1;
    bool fast = fast_members();
    bool once = !options_.allow_duplicate_keys;
    for (size_t i = 0; indefinite ? !at_break() : i < count; ++i) {
        const unsigned char *key_at = in_.cursor;
        Ref key(member(Place::kKey, fast));
        if (!key) return nullptr;
        Ref value(member(Place::kValue, fast));
        Py_ssize_t before = PyDict_GET_SIZE(dict);
        if (!value || !set_item(dict, key.get(), value.get(), key_at)) return nullptr;
        if (once && PyDict_GET_SIZE(dict) == before) return fail(key_at, "duplicate map key");
    }
    if (options_.object_hook) return PyObject_CallFunctionObjArgs(options_.object_hook, dict, nullptr);
    Py_INCREF(dict);
    return dict;
}

// A map read into dict, which exists before its content (value sharing).
PyObject *Decoder::fill_map(PyObject *dict) {
    const unsigned char *at = in_.cursor;
    bool indefinite = (*at & 0x1f) == kIndefinite;
    uint64_t n = 0;
    size_t count = 0;
    if (!indefinite && (!argument(at, n) || !counted(at, n, 2, "map", "pairs", count))) return nullptr;
    return map_items(dict, indefinite, count);
}

// An array read into list, which exists before its content (value sharing):
// it can be seen while it is filled, so it grows an item at a time.
PyObject *Decoder::fill_list(PyObject *list) {
    const unsigned char *at = in_.cursor;
    bool indefinite = (*at & 0x1f) == kIndefinite;
    uint64_t n = 0;
    size_t count = 0;
    if (indefinite) {
        in_.cursor += 1;
    } else if (!argument(at, n) || !counted(at, n, 1, "array", "items", count)) {
        return nullptr;
    }
    if (!enter_nesting(stack_)) return nullptr;
    struct Leave {
        StackBound &stack;
        ~Leave() { leave_nesting(stack); }
    } leave{stack_};
    bool fast = fast_members();
    for (size_t i = 0; indefinite ? !at_break() : i < count; ++i) {
        PyObject *value = member(Place::kValue, fast);
        if (!value || !append(list, value, indefinite ? (size_t)PyList_GET_SIZE(list) + 1 + left() : count)) {
            return nullptr;
        }
    }
    Py_INCREF(list);
    return list;
}

PyObject *Decoder::simple(const unsigned char *at, unsigned ai) {
    switch (ai) {
    case 20:
    case 21:
    case 22:
    case 23:
        return constant(ai);
    case 24: {
        uint64_t n;
        if (!argument(at, n)) return nullptr;
        if (n < 32) return fail(at, "simple value %u written in two bytes", (unsigned)n);
        return make_simple((unsigned char)n);
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
        return fail(at, "reserved additional information %u", ai);
    case kIndefinite:
        return fail(at, "break outside an indefinite-length item");
    default:
        in_.cursor += 1;
        return make_simple((unsigned char)ai);
    }
}

// false, true, null or undefined: additional information 20 to 23.
PyObject *Decoder::constant(unsigned ai) {
    in_.cursor += 1;
    PyObject *value = ai == 20 ? Py_False : ai == 21 ? Py_True : ai == 22 ? Py_None : Undefined;
    Py_INCREF(value);
    return value;
}

// A float of kWidth bytes.
template <int kWidth>
PyObject *Decoder::real(const unsigned char *at) {
    uint64_t bits;
    if (cbor_inline::read_argument(&in_, &bits, kWidth) < 0) return truncated(at, "input ends inside a float");
    if (kWidth == 2) bits = cbor_inline::half_as_double(bits);
    if (kWidth == 4) bits = cbor_inline::single_as_double((uint32_t)bits);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return PyFloat_FromDouble(value);
}

// ---- Tags ------------------------------------------------------------------------------

PyObject *Decoder::tag(const unsigned char *, uint64_t number, Place place) {
    if (!enter_nesting(stack_)) return nullptr;  // chains of tags nest as deeply as containers
    struct Leave {
        StackBound &stack;
        ~Leave() { leave_nesting(stack); }
    } leave{stack_};
    if (number == 55799) return item(place);  // self-described CBOR: the mark carries no meaning
    if (const TagReader *reader = find_tag_reader(number)) return reader->read(*this, number, place);
    return plain_tag(number, place);
}

PyObject *Decoder::plain_tag(uint64_t number, Place place) {
    Ref content(item(place));
    return content ? tagged(number, content.get()) : nullptr;
}

PyObject *Decoder::tagged(uint64_t number, PyObject *content) {
    if (PyObject *hook = options_.tag_hook) {
        Ref number_object(PyLong_FromUnsignedLongLong(number));
        return number_object ? PyObject_CallFunctionObjArgs(hook, number_object.get(), content, nullptr) : nullptr;
    }
    return make_tag(number, content);
}

PyObject *Decoder::converted(const unsigned char *at, uint64_t number, PyObject *content,
                             PyObject *(*make)(PyObject *), const char *what) {
    if (!content) return nullptr;
    Ref held(content);
    PyObject *value = make(content);
    if (!value && is_ordinary_error()) {
        Ref message(PyUnicode_FromFormat("tag %llu content is not %s", (unsigned long long)number, what));
        if (message) return fail_from_error(at, PyUnicode_AsUTF8(message.get()));
    }
    return value;
}

PyObject *Decoder::byte_string_view() {
    const unsigned char *at = in_.cursor;
    // Inside a string namespace the bytes may be referred to later: an object of their own.
    if ((*at & 0x1f) == kIndefinite || namespaces_) return item(Place::kValue);
    uint64_t n;
    size_t size;
    if (!argument(at, n) || !counted(at, n, 1, "byte string", "bytes", size)) return nullptr;
    char *data = reinterpret_cast<char *>(const_cast<unsigned char *>(in_.cursor));
    in_.cursor += size;
    return PyMemoryView_FromMemory(data, (Py_ssize_t)size, PyBUF_READ);
}

// Tag 258: a finite set, its elements read as map keys are (arrays as tuples);
// a frozenset inside a key or another set. Under value sharing the array may
// be marked (tag 28, as cbor2 writes sets) or be a reference to one (tag 29):
// the marked object is the array's tuple, the set is made from it.
PyObject *Decoder::set(Place place) {
    const unsigned char *at = in_.cursor;
    Ref items;
    if (at != end_ && *at >> 5 == 6) {
        cbor_parser head = in_;
        uint64_t number;
        bool shared = cbor_inline::read_head(&head, &number) == 0 &&
                      ((number == kShareable && head.cursor != end_ && *head.cursor >> 5 == 4) || number == kSharedRef);
        items.reset(item(Place::kElement));
        if (!items) return nullptr;
        if (!shared || !(PyTuple_CheckExact(items.get()) || PyList_CheckExact(items.get()))) {
            return fail(at, "tag 258 content is not an array");
        }
    } else if (at == end_ || *at >> 5 != 4) {
        Ref content(item(Place::kElement));
        return content ? fail(at, "tag 258 content is not an array") : nullptr;
    } else {
        bool indefinite = (*at & 0x1f) == kIndefinite;
        uint64_t n = 0;
        if (!indefinite && !argument(at, n)) return nullptr;
        items.reset(list_of(at, indefinite, n, Place::kElement));
        if (!items) return nullptr;
    }
    PyObject *value = place == Place::kValue ? PySet_New(items.get()) : PyFrozenSet_New(items.get());
    if (!value && PyErr_ExceptionMatches(PyExc_TypeError)) {
        return fail_from_error(at, "tag 258 content is not an array of hashable items");
    }
    return value;
}

// A call's values may make objects this many times the size of its input
// (and 1 MiB whatever the input): hostile input cannot make memory grow much
// faster than it does.
constexpr uint64_t kExpansion = 16, kExpansionFloor = 1 << 20;

bool Decoder::expand(const unsigned char *at, uint64_t bytes) {
    uint64_t allowed = std::max<uint64_t>(kExpansionFloor, kExpansion * (uint64_t)(end_ - in_.start));
    if (bytes <= allowed && expanded_ <= allowed - bytes) {
        expanded_ += bytes;
        return true;
    }
    fail(at, "values that expand past %llu bytes for %llu bytes of input", (unsigned long long)allowed,
         (unsigned long long)(end_ - in_.start));
    return false;
}

// ---- Imports ---------------------------------------------------------------------------

// An import runs Python code, and a module's first import runs a lot of it:
// it is made only where this much stack is left above the bound, so that it
// cannot reach into the room kept for raising errors.
constexpr uintptr_t kImportRoom = 64 * 1024;

bool Decoder::import_room() {
    if (stack_.room() >= kImportRoom) return true;
    PyErr_Format(PyExc_RecursionError,
                 "maximum recursion depth exceeded%s (too little stack is left to import a module it needs)",
                 stack_.where());
    return false;
}

PyObject *LazyImport::get(Decoder &decoder) {
    if (value_) return value_;
    if (!decoder.import_room()) return nullptr;
    Ref module(PyImport_ImportModule(module_));
    if (module) value_ = PyObject_GetAttrString(module.get(), name_);  // kept for the process
    return value_;
}

// ---- Entries -------------------------------------------------------------------------

namespace {

PyObject *interned_data, *interned_max_depth, *interned_tag_hook, *interned_object_hook,
    *interned_str_errors, *interned_allow_duplicate_keys;

}  // namespace

int DecodeOptions::set(const char *, PyObject *name, PyObject *value) {
    PyObject *names[5] = {interned_max_depth, interned_tag_hook, interned_object_hook, interned_str_errors,
                          interned_allow_duplicate_keys};
    int option = keyword_index(name, names, 5);
    switch (option) {
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
    case 2: {
        const char *what = option == 1 ? "tag_hook" : "object_hook";
        if (value != Py_None && !PyCallable_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s must be callable or None, not %.200s", what, Py_TYPE(value)->tp_name);
            return -1;
        }
        if (value == Py_None) value = nullptr;
        Py_XINCREF(value);
        Py_XSETREF(option == 1 ? tag_hook : object_hook, value);
        return 1;
    }
    case 3: {
        static const char *const kHandlers[] = {"strict", "replace", "surrogateescape"};
        for (const char *handler : kHandlers) {
            if (PyUnicode_Check(value) && PyUnicode_CompareWithASCIIString(value, handler) == 0) {
                str_errors = handler;
                return 1;
            }
        }
        if (!PyUnicode_Check(value)) {
            PyErr_Format(PyExc_TypeError, "str_errors must be 'strict', 'replace' or 'surrogateescape', not %.200s",
                         Py_TYPE(value)->tp_name);
        } else {
            PyErr_Format(PyExc_ValueError, "str_errors must be 'strict', 'replace' or 'surrogateescape', not %R", value);
        }
        return -1;
    }
    case 4:
        if (!PyBool_Check(value)) {
            PyErr_Format(PyExc_TypeError, "allow_duplicate_keys must be True or False, not %.200s",
                         Py_TYPE(value)->tp_name);
            return -1;
        }
        allow_duplicate_keys = value == Py_True;
        return 1;
    default:
        return 0;
    }
}

int DecodeOptions::traverse(visitproc visit, void *arg) {
    Py_VISIT(tag_hook);
    Py_VISIT(object_hook);
    return 0;
}

void DecodeOptions::clear() {
    Py_CLEAR(tag_hook);
    Py_CLEAR(object_hook);
}

PyObject *decode_item(const unsigned char *data, size_t size, size_t *offset, const DecodeOptions &options,
                      uint64_t base) {
    Decoder decoder(data, size, *offset, options, base);
    PyObject *value = decoder.item(Place::kValue);
    if (value) *offset = decoder.offset();
    return value;
}

// Takes `first` (data or fp) by position or by name, and every other keyword
// as a decoding option (loads' and the sequence readers').
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

uint64_t scan_depth(const DecodeOptions &options) {
    // The scan's nesting state is bounded whatever the options: past this
    // depth the decoder has run out of stack or recursion long before.
    constexpr uint64_t kScanDepthLimit = 1 << 20;
    return options.max_depth && options.max_depth < kScanDepthLimit ? options.max_depth : kScanDepthLimit;
}

PyObject *raise_scan_failure(int status, const cbor_scan *scan, uint64_t start, const DecodeOptions &options) {
    if (status == CBOR_SCAN_NO_MEMORY) return PyErr_NoMemory();
    unsigned long long at = start + scan->error_offset;
    Ref message;
    if (status == CBOR_SCAN_MALFORMED) {
        message.reset(PyUnicode_FromFormat("%s at byte %llu", scan->reason, at));
    } else if (options.max_depth && scan->max_depth == options.max_depth) {
        message.reset(PyUnicode_FromFormat("nesting deeper than max_depth=%llu at byte %llu",
                                           (unsigned long long)options.max_depth, at));
    } else {
        return PyErr_Format(PyExc_RecursionError,
                            "maximum recursion depth exceeded while decoding a CBOR object (more than %llu levels)",
                            (unsigned long long)scan->max_depth);
    }
    Ref error(message ? PyObject_CallFunctionObjArgs(CBORDecodeError, message.get(), nullptr) : nullptr);
    Ref where(error ? PyLong_FromUnsignedLongLong(at) : nullptr);
    if (where && PyObject_SetAttr(error.get(), interned_pos, where.get()) == 0) {
        PyErr_SetObject(CBORDecodeError, error.get());
    }
    return nullptr;
}

bool contiguous_buffer(const char *function, PyObject *obj, Py_buffer *view) {
    if (PyObject_GetBuffer(obj, view, PyBUF_RECORDS_RO) < 0) return false;
    if (PyBuffer_IsContiguous(view, 'C')) return true;
    PyBuffer_Release(view);
    PyErr_Format(PyExc_BufferError, "%s() reads a C-contiguous buffer, and this %.200s is not one", function,
                 Py_TYPE(obj)->tp_name);
    return false;
}

namespace {

PyObject *decode(const unsigned char *data, size_t size, const DecodeOptions &options) {
    return Decoder(data, size, 0, options, 0).document();
}

// Any C-contiguous buffer, read in place.
PyObject *decode_buffer(const char *function, PyObject *data, const DecodeOptions &options) {
    if (PyBytes_CheckExact(data)) {
        return decode(reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(data)), (size_t)PyBytes_GET_SIZE(data),
                      options);
    }
    Py_buffer view;
    if (!contiguous_buffer(function, data, &view)) return nullptr;
    PyObject *value = decode(static_cast<const unsigned char *>(view.buf), (size_t)view.len, options);
    PyBuffer_Release(&view);
    return value;
}

// The options of a call that gives none.
const DecodeOptions default_options;

PyObject *loads_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    if (nargs == 1 && !kwnames) return decode_buffer("loads", args[0], default_options);  // loads(data): the common call
    PyObject *data;
    DecodeOptions options;
    if (!parse_arguments("loads", interned_data, args, nargs, kwnames, data, options)) return nullptr;
    return decode_buffer("loads", data, options);
}

const char loads_doc[] =
    "loads(data, *, max_depth=0, tag_hook=None, object_hook=None, str_errors='strict',\n"
    "      allow_duplicate_keys=True)\n--\n\n"
    "Decode the one CBOR item that data holds (bytes or any C-contiguous buffer).\n\n"
    "Integers of any size, floats (half and single widened exactly), bytes, str,\n"
    "lists, dicts (arrays used as map keys become tuples), True, False, None and\n"
    "undefined. Tags 0 and 1 become timezone-aware datetimes, 2 and 3 ints, 4\n"
    "and 5 Decimal, 30 Fraction, 35 re.Pattern, 36 email.message.Message, 37 UUID,\n"
    "52, 54, 260 and 261 ipaddress addresses, networks and interfaces, 100 and 1004\n"
    "date, 258 set (frozenset in a key), 64-87 and 40 NumPy arrays (when NumPy\n"
    "imports), 55799 its content, 28/29 shared values (one object, cycles kept),\n"
    "256/25 string references; any other tag\n"
    "becomes Tag(tag, value), or tag_hook(tag, value) when tag_hook is given.\n"
    "Other simple values become Simple(n).\n\n"
    "max_depth limits nesting as dumps counts it (0: no limit). object_hook(dict)\n"
    "is called for every map, innermost first, and its value used instead.\n"
    "str_errors is the handler for invalid UTF-8 ('strict': CBORDecodeError,\n"
    "'replace', 'surrogateescape'). allow_duplicate_keys=False refuses a map\n"
    "with a repeated key. Malformed input raises CBORDecodeError (a ValueError)\n"
    "saying what was wrong and at which byte; CBORDecodeEOF when it ends inside\n"
    "an item.";

PyMethodDef decoder_methods[] = {
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(loads_entry)), METH_FASTCALL | METH_KEYWORDS,
     loads_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_decoder(PyObject *module) {
    if (!init_datetime_family()) return false;
    interned_data = PyUnicode_InternFromString("data");
    interned_max_depth = PyUnicode_InternFromString("max_depth");
    interned_tag_hook = PyUnicode_InternFromString("tag_hook");
    interned_pos = PyUnicode_InternFromString("pos");
    interned_object_hook = PyUnicode_InternFromString("object_hook");
    interned_str_errors = PyUnicode_InternFromString("str_errors");
    interned_allow_duplicate_keys = PyUnicode_InternFromString("allow_duplicate_keys");
    for (long i = 0; i < 24; ++i) {
        if (!(small_ints[i] = PyLong_FromLong(i))) return false;
    }
    if (!interned_pos || !interned_object_hook || !interned_str_errors || !interned_allow_duplicate_keys ||
        !interned_data || !interned_max_depth || !interned_tag_hook) return false;
    return PyModule_AddFunctions(module, decoder_methods) == 0;
}

}  // namespace vantra
