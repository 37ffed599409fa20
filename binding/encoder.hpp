// The encoder state and the four handler sets (definite/indefinite heads,
// with or without a depth limit), all instances of one template.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "cbor.h"
#include "dump_value.hpp"
#include "writer_inline.h"

#if PY_VERSION_HEX < 0x030A0000
#include <longintrepr.h>  // PyLongObject's digits, public from 3.10 on
#endif

namespace vantra {

[[noreturn]] void raise_no_memory();

// Where a call's output is written. The buffer (data, length and capacity, as
// in a cbor_generator) takes every item through the codec's inline writers,
// which grow it as they grow a generator's. It comes from a spare block kept
// between calls, so most results cost no heap traffic; a large output is
// written straight into its result's own storage, which then grows in place.
// A long string or byte
// string is not copied into it: its head is, and the text is kept as a
// segment (the object held) until the result is built, so that its bytes are
// copied once, straight into the result, which is allocated at its exact size.
struct Segment {
    size_t at;  // the buffer offset the text follows
    PyObject *owner;
    const char *data;  // null: the UTF-8 of owner, a str, made in place (text.hpp)
    size_t size;
};

struct Sink {
    unsigned char *data;
    size_t length;
    size_t capacity;
    Segment *segments;
    size_t segment_count;
    size_t segment_room;
    size_t segment_bytes;  // the texts' sizes, summed
    class StringWriter *strings;  // the string references' table, when the Encoder writes them
    PyObject *result;  // a bytes object whose storage the buffer is, once it is large
    unsigned char *first;  // the output's own first buffer (CallOutput), or null
};

// Makes room in the buffer for count more bytes: 0, or -1 when they cannot be had.
int grow(Sink *sink, size_t count);

// Texts from this many bytes on are kept as segments.
constexpr size_t kSegmentFrom = 512;

// Writes the head of a text of major type 2 or 3 and keeps the text as a
// segment (a reference to owner is held until the output ends). data null:
// owner is a str whose UTF-8, of size bytes, is made straight into the result.
void write_segment(Sink *sink, int major_type, PyObject *owner, const char *data, size_t size);

// A string or byte string as a string reference (tag 25) when an equal one
// was written before, else as itself, kept for later references when long
// enough (references.cpp). owner keeps data alive; null: data is copied.
void write_referenced(Sink *sink, int major_type, PyObject *owner, const char *data, size_t size);

// A string or byte string whose bytes owner keeps alive.
inline void write_text_of(Sink *sink, int major_type, PyObject *owner, const char *data, size_t size) {
    if (sink->strings) {
        write_referenced(sink, major_type, owner, data, size);
    } else if (size < kSegmentFrom) {
        if (cbor_inline::write_string(sink, major_type, data, size) < 0) raise_no_memory();
    } else {
        write_segment(sink, major_type, owner, data, size);
    }
}

// A string or byte string whose bytes are copied now.
inline void write_text_copy(Sink *sink, int major_type, const void *data, size_t size) {
    if (sink->strings) {
        write_referenced(sink, major_type, nullptr, static_cast<const char *>(data), size);
    } else if (cbor_inline::write_string(sink, major_type, data, size) < 0) {
        raise_no_memory();
    }
}

// The owning handle of a call's Sink.
class Output {
public:
    Output();
    ~Output() {
        // A small call's output: nothing taken that must be given back.
        if (sink_.data != sink_.first || sink_.segments || sink_.result) give_back();
    }
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    Sink *get() { return &sink_; }
    // The bytes written, as the call's result.
    py::bytes finish();

protected:
    // Writing starts in `first`, which outlives the output.
    Output(unsigned char *first, size_t size) : sink_{first, 0, size, nullptr, 0, 0, 0, nullptr, nullptr, first} {}

private:
    // What the output holds, back to the spare or freed.
    void give_back();
    Sink sink_;
};

// A call's own output: its first bytes go to a buffer on the call's stack, so
// that a small result takes nothing from the heap but itself; a larger one
// moves to the spare block as it grows past it.
class CallOutput : public Output {
public:
    CallOutput() : Output(first_, sizeof first_) {}

private:
    // Room for a string's head and the fixed-size copies of a short one
    // (writer_inline.h), and a little more.
    unsigned char first_[512];
};

// Major types and simple values written by the handlers.
constexpr int kArray = 4, kMap = 5;
constexpr unsigned char kFalse = 0xf4, kTrue = 0xf5, kNull = 0xf6, kBreak = 0xff;

// Largest number of bytes of a value's text quoted in an error message.
constexpr uint64_t kErrorTextLimit = 40;

template <bool Limited>
struct DumpEncoder;

// Made by constructors, not from braces: braces would value-initialize the
// output's first buffer, zeroing it at every call.
template <>
struct DumpEncoder<false> {
    CallOutput output;
    uint64_t error_text_limit = kErrorTextLimit;
};

template <>
struct DumpEncoder<true> {
    explicit DumpEncoder(uint64_t max) : max_depth(max) {}
    CallOutput output;
    uint64_t depth = 0;
    uint64_t max_depth;
    uint64_t error_text_limit = kErrorTextLimit;
};

// What a call writes beyond dumps' own values: nothing more (dumps), the
// Encoder's types and default hook, or those with deterministic output.
enum class Mode { Dumps, Extended, Deterministic };

// An Encoder call's state (encoder_type.cpp).
template <bool Limited>
struct EncoderCall;

// Thrown in the Encoder's modes for a value that cannot be written. Each
// container it leaves adds where the value sat in it, innermost first, so
// that the message can name its place: value["a"][2].
struct Unencodable {
    PyObject *error_type;  // TypeError or ValueError
    std::string what;      // "cannot encode ...", followed by the place
    std::string hint;      // after the place: ": give it a timezone ..."
    struct Step {
        enum Kind { kIndex, kKey, kKeyOf, kElementOf, kTagValue } kind;
        Py_ssize_t index;
        py::object key;
    };
    std::vector<Step> path;

    void at_index(Py_ssize_t i) { path.push_back({Step::kIndex, i, {}}); }
    void at_key(PyObject *key) { path.push_back({Step::kKey, 0, py::reinterpret_borrow<py::object>(key)}); }
    void in_key() { path.push_back({Step::kKeyOf, 0, {}}); }
    void in_set() { path.push_back({Step::kElementOf, 0, {}}); }
    void in_tag() { path.push_back({Step::kTagValue, 0, {}}); }
};

[[noreturn]] void raise_cast_error();
[[noreturn]] void raise_depth_exceeded(uint64_t max_depth);
[[noreturn]] void raise_changed(const char *what);

// The calling thread's native stack: the lowest address its calls may reach,
// keeping room below to raise RecursionError, and its low end (0 where the
// extent cannot be had: a fixed budget below the stack pointer of the thread's
// first call stands in for it, see stack.cpp). Looked up on the thread's first
// call and kept in static TLS: a thread then never allocates for it, and each
// call reads it once.
struct ThreadStack {
    uintptr_t floor;
    uintptr_t low;
};
extern VANTRA_THREAD_LOCAL ThreadStack thread_stack VANTRA_INITIAL_EXEC;
uintptr_t find_stack_floor();

// Where the calling thread's stack has reached. Read from the register where
// it can be: inlined into the container loops, a frame address would make them
// keep a frame pointer, taking a register from them. Volatile: read afresh at
// every container, also where one container's loop is inlined into another's.
// Elsewhere the address of something on the stack, as near as the compiler
// gives one.
inline uintptr_t stack_pointer() {
#if defined(VANTRA_GNU) && defined(__x86_64__)
    uintptr_t sp;
    __asm__ volatile("mov %%rsp, %0" : "=r"(sp));
    return sp;
#elif defined(VANTRA_GNU) && defined(__aarch64__)
    uintptr_t sp;
    __asm__ volatile("mov %0, sp" : "=r"(sp));
    return sp;
#elif defined(VANTRA_GNU)
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#elif defined(VANTRA_MSVC)
    return reinterpret_cast<uintptr_t>(_AddressOfReturnAddress());
#else
    volatile char here = 0;
    uintptr_t sp = reinterpret_cast<uintptr_t>(&here);  // a number, not an address returned
    return sp;
#endif
}

// From 3.14 on the interpreter bounds C calls by the native stack itself: it
// keeps a margin above the stack's end for its own checks (and the hooks we
// call), and Py_EnterRecursiveCall only compares the stack pointer with that
// limit. It is asked at a call's first container and again each time the
// stack has grown by kAskEvery since it last agreed, rather than at every
// container: between two questions the stack grows far less than its margin.
#if PY_VERSION_HEX >= 0x030E0000
#define VANTRA_INTERPRETER_STACK_LIMIT 1
constexpr uintptr_t kAskEvery = 4 * 1024;
#endif

// Bounds the native stack a call may use: exact from its first container, in
// every thread and in a call started from a hook deep inside another.
// `where` ends the RecursionError's message ("maximum recursion depth exceeded<where>").
class StackBound {
public:
    explicit StackBound(const char *where = " while encoding a CBOR object")
        : floor_(thread_stack.floor ? thread_stack.floor : find_stack_floor()), where_(where) {}
    // False, with RecursionError set, past the bound.
    bool within() {
#ifdef VANTRA_INTERPRETER_STACK_LIMIT
        return stack_pointer() >= ask_below_ || ask_interpreter();
#else
        return stack_pointer() >= floor_ || beyond_floor();
#endif
    }
    void check() {
        if (!within()) throw PythonErrorSet();
    }
    // The bytes of stack left above the bound (0 when there is no bound).
    uintptr_t room() const {
        uintptr_t sp = stack_pointer();
        return floor_ > 1 && sp > floor_ ? sp - floor_ : floor_ > 1 ? 0 : UINTPTR_MAX;
    }
    const char *where() const { return where_; }
    // The calling thread's state, looked up on the call's first container.
    PyThreadState *thread() {
        if (!thread_) thread_ = PyThreadState_Get();
        return thread_;
    }

private:
    bool beyond_floor();
    // RecursionError: maximum recursion depth exceeded<where>; false.
    bool too_deep() const;
#ifdef VANTRA_INTERPRETER_STACK_LIMIT
    // Our floor, then the interpreter's limit, as within(); sets ask_below_.
    bool ask_interpreter();
    uintptr_t ask_below_ = UINTPTR_MAX;  // never above floor_ once asked
#endif
    uintptr_t floor_;
    const char *where_;
    PyThreadState *thread_ = nullptr;
};

// Python's recursion count for C code, where the thread state shows it
// (3.11 to 3.13): kept here as the interpreter's own Py_EnterRecursiveCall and
// Py_LeaveRecursiveCall keep it, without a call each way. Up to 3.10 those
// functions are called; from 3.14 on there is no count (see StackBound).
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030E0000
#define VANTRA_RECURSION_COUNT 1
inline int &recursion_remaining(PyThreadState *thread) {
#if PY_VERSION_HEX >= 0x030C0000
    return thread->c_recursion_remaining;
#else
    return thread->recursion_remaining;
#endif
}
#endif

// Py_EnterRecursiveCall, which raises RecursionError at the limit: false then.
bool enter_recursive_call(StackBound &stack);

// One more level of nesting: bounded by Python's recursion limit (from 3.14
// on, by the interpreter's stack limit) and by the native stack that is left,
// so that no value can overflow the stack. False, with RecursionError set,
// past either; leave_nesting() undoes a true.
inline bool enter_nesting(StackBound &stack) {
    if (!stack.within()) return false;
#ifdef VANTRA_INTERPRETER_STACK_LIMIT
    return true;  // within() asks the interpreter
#else
#ifdef VANTRA_RECURSION_COUNT
    int &remaining = recursion_remaining(stack.thread());
    if (remaining > 0) {
        --remaining;  // short of the limit, all that Py_EnterRecursiveCall does
        return true;
    }
#endif
    return enter_recursive_call(stack);
#endif
}

inline void leave_nesting(StackBound &stack) {
#if defined(VANTRA_RECURSION_COUNT)
    ++recursion_remaining(stack.thread());
#elif defined(VANTRA_INTERPRETER_STACK_LIMIT)
    (void)stack;  // nothing was taken
#else
    (void)stack;
    Py_LeaveRecursiveCall();
#endif
}

// Held around every container the encoder writes.
class NestingGuard {
public:
    explicit NestingGuard(StackBound &stack) : stack_(stack) {
        if (!enter_nesting(stack)) throw PythonErrorSet();
    }
    ~NestingGuard() { leave_nesting(stack_); }
    NestingGuard(const NestingGuard &) = delete;
    NestingGuard &operator=(const NestingGuard &) = delete;

private:
    StackBound &stack_;
};

// The sign and magnitude of an int of up to 64 bits, read from its digits as
// the interpreter's own inline functions read them: false for a wider one
// (and where digits are not of 30 bits). PyLong_AsLongLongAndOverflow costs
// several times as much for the same answer.
inline bool int_magnitude(PyObject *obj, bool &negative, uint64_t &magnitude) {
#if PyLong_SHIFT == 30
#if PY_VERSION_HEX >= 0x030C0000
    const _PyLongValue &v = reinterpret_cast<PyLongObject *>(obj)->long_value;
    size_t count = v.lv_tag >> _PyLong_NON_SIZE_BITS;
    negative = (v.lv_tag & _PyLong_SIGN_MASK) == 2;
    const digit *d = v.ob_digit;
#else
    Py_ssize_t size = Py_SIZE(obj);
    size_t count = size < 0 ? (size_t)-size : (size_t)size;
    negative = size < 0;
    const digit *d = reinterpret_cast<PyLongObject *>(obj)->ob_digit;
#endif
    if (count > 3 || (count == 3 && d[2] >> 4)) return false;
    magnitude = count ? d[0] : 0;  // with no digits, the first is not set
    if (count >= 2) magnitude |= (uint64_t)d[1] << 30;
    if (count == 3) magnitude |= (uint64_t)d[2] << 60;
    return true;
#else
    (void)obj, (void)negative, (void)magnitude;
    return false;
#endif
}

// A writer fails only when the codec cannot allocate.
inline int checked(int status) {
    if (status < 0) raise_no_memory();
    return status;
}

// The value of an int held in one internal digit (the common case) without a
// call; false for larger ones.
inline bool small_int_value(PyObject *obj, long long &value) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(obj))) return false;
    value = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(obj));
#else
    Py_ssize_t size = Py_SIZE(obj);
    if (size < -1 || size > 1) return false;
    value = size * (long long)reinterpret_cast<PyLongObject *>(obj)->ob_digit[0];
#endif
    return true;
}

// Scalars are written the same way in every mode.
int write_int(Sink *sink, PyObject *obj, uint64_t error_text_limit);
int write_str(Sink *sink, PyObject *obj);
// A str that is not compact ASCII, its UTF-8 made straight from its characters
// into the output, so that the interpreter does not keep a UTF-8 copy inside
// it: false, with nothing written, for one that the interpreter's encoder must
// take (a lone surrogate, which it refuses; an ASCII str; a str that already holds its UTF-8
// copy; a str of the old, non-compact form) and in a call that writes string
// references, which compares UTF-8 copies.
bool write_str_direct(Sink *sink, PyObject *obj);
inline int write_float(Sink *sink, PyObject *obj) {
    return checked(cbor_inline::write_float(sink, PyFloat_AS_DOUBLE(obj)));
}
[[noreturn]] void raise_unreadable_bytes();
inline int write_bytes(Sink *sink, PyObject *obj) {
    if (!PyBytes_Check(obj)) raise_unreadable_bytes();
    write_text_of(sink, 2, obj, PyBytes_AS_STRING(obj), (size_t)PyBytes_GET_SIZE(obj));
    return 0;
}

// The Encoder's writers for what dumps refuses (encoder_type.cpp): an int
// past 64 bits as a bignum, a str that UTF-8 cannot hold as an Unencodable.
int write_wide_int(Sink *sink, PyObject *obj, uint64_t error_text_limit);
int write_str_or_refuse(Sink *sink, PyObject *obj);

template <bool Indefinite, bool Limited, Mode M = Mode::Dumps>
struct Encode {
    static constexpr bool kDumps = M == Mode::Dumps;
    using State = std::conditional_t<kDumps, DumpEncoder<Limited>, EncoderCall<Limited>>;
    State &encoder;
    mutable StackBound stack;

    explicit Encode(State &call_encoder) : encoder(call_encoder) {}

    // An Encoder call writes map keys apart when it sorts them, so its sink can change.
    Sink *out() const {
        if constexpr (kDumps) {
            return encoder.output.get();
        } else {
            return encoder.sink;
        }
    }

    int operator()(const py::bool_ &v) const {
        return write_simple(v.ptr() == Py_True ? kTrue : kFalse);
    }
    int operator()(const py::float_ &v) const { return put_float(v.ptr()); }
    int operator()(const py::int_ &v) const { return write_any_int(v.ptr()); }
    int operator()(const py::list &v) const { return write_list(v.ptr()); }
    int operator()(const py::tuple &v) const { return write_tuple(v.ptr()); }
    int operator()(const py::dict &v) const { return write_dict(v.ptr()); }
    int operator()(const py::bytes &v) const { return write_bytes(out(), v.ptr()); }
    int operator()(const py::str &v) const { return write_text(v.ptr()); }
    int operator()(bool v) const { return write_simple(v ? kTrue : kFalse); }
    int operator()(unsigned long long v) const { return checked(cbor_inline::write_uint(out(), v)); }
    int operator()(long long v) const { return write_signed(v); }
    int operator()(std::string_view v) const {
        if constexpr (!kDumps) {
            write_text_copy(out(), 3, v.data(), v.size());
            return 0;
        }
        return checked(cbor_inline::write_string(out(), 3, v.data(), v.size()));
    }
    int operator()(const py::none &) const { return write_simple(kNull); }

    // A compact ASCII string is its own UTF-8: its bytes are written as they lie.
    int write_text(PyObject *obj) const {
        if (PyUnicode_IS_COMPACT_ASCII(obj)) {
            write_text_of(out(), 3, obj, static_cast<const char *>(PyUnicode_DATA(obj)), (size_t)PyUnicode_GET_LENGTH(obj));
            return 0;
        }
        if constexpr (kDumps) {
            return write_str(out(), obj);
        } else {
            return write_str_or_refuse(out(), obj);
        }
    }

    // The exact floats from items[i] on (none when items[i] is not one), with
    // the output's end kept in a register: written one by one through the
    // Sink, each float waits for the length that the one before stored.
    // Returns the index after them. No Python code runs meanwhile, so the
    // items cannot change under it.
    Py_ssize_t float_run(PyObject *const *items, Py_ssize_t i, Py_ssize_t count) const {
        if (i == count || Py_TYPE(items[i]) != &PyFloat_Type) return i;
        return float_run_from(items, i, count);
    }
    VANTRA_NOINLINE Py_ssize_t float_run_from(PyObject *const *items, Py_ssize_t i, Py_ssize_t count) const {
        if constexpr (Limited) {
            if (encoder.depth >= encoder.max_depth) return i;  // leaf() declines them
        }
        constexpr Py_ssize_t kChunk = 256;
        Sink *sink = out();
        while (i < count && Py_TYPE(items[i]) == &PyFloat_Type) {
            Py_ssize_t end = count - i < kChunk ? count : i + kChunk;
            unsigned char *p = cbor_inline::reserve(sink, 9 * (size_t)(end - i));
            if (!p) raise_no_memory();
            unsigned char *start = p;
            for (; i < end && Py_TYPE(items[i]) == &PyFloat_Type; ++i) {
                if constexpr (M == Mode::Deterministic) {
                    p += cbor_inline::shortest_float_item(PyFloat_AS_DOUBLE(items[i]), p);
                } else {
                    p += cbor_inline::float_item(PyFloat_AS_DOUBLE(items[i]), p);
                }
            }
            sink->length += (size_t)(p - start);
        }
        return i;
    }

    // Deterministic output takes a half for the subnormals too.
    int put_float(PyObject *obj) const {
        if constexpr (M == Mode::Deterministic) {
            return checked(cbor_inline::write_shortest_float(out(), PyFloat_AS_DOUBLE(obj)));
        } else {
            return write_float(out(), obj);
        }
    }

    // An exact int that fits 64 bits cannot fail the round trip of the general rule.
    int write_any_int(PyObject *obj) const {
        if (PyLong_CheckExact(obj)) {
            long long small;
            if (small_int_value(obj, small)) return write_signed(small);
            bool negative;
            uint64_t magnitude;
            if (int_magnitude(obj, negative, magnitude)) {
                if (!negative) return checked(cbor_inline::write_uint(out(), magnitude));
                // Below -2**63, dumps refuses: the general path decides.
                if (magnitude <= (uint64_t)1 << 63) return checked(cbor_inline::write_head(out(), 1, magnitude - 1));
            }
            int overflow;
            long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
            if (!overflow) {
                return write_signed(v);
            }
        }
        if constexpr (kDumps) {
            return write_int(out(), obj, encoder.error_text_limit);
        } else {
            return write_wide_int(out(), obj, encoder.error_text_limit);
        }
    }

    // A list item, dict key or dict value, counted in the depth-limited modes.
    // Declined: leaf() has declined it, so it is no exact scalar (or is past
    // the depth limit, which the count here raises before anything is written).
    template <bool Declined = false>
    void element(PyObject *child) const {
        if constexpr (Limited) {
            if (++encoder.depth > encoder.max_depth) raise_depth_exceeded(encoder.max_depth);
        }
        if constexpr (Declined) {
            write_compound(child);
        } else {
            write_object(child);
        }
        if constexpr (Limited) --encoder.depth;
    }

    // An element of an exact scalar type is written here, without a reference
    // held: writing it runs no Python code, so nothing can change its
    // container meanwhile. False for anything else (and, in the limited modes,
    // for an element past the depth limit), which element() then takes.
    bool leaf(PyObject *child) const {
        if constexpr (Limited) {
            if (encoder.depth >= encoder.max_depth) return false;
        }
        return write_scalar(child);
    }

    // An object of an exact scalar type, written; false for anything else.
    VANTRA_INLINE bool write_scalar(PyObject *obj) const {
        PyTypeObject *type = Py_TYPE(obj);
        if (type == &PyUnicode_Type) {
            write_text(obj);
        } else if (type == &PyFloat_Type) {
            put_float(obj);
        } else if (type == &PyLong_Type) {
            write_any_int(obj);
        } else if (obj == Py_None || obj == Py_True || obj == Py_False) {
            write_simple(obj == Py_None ? kNull : obj == Py_True ? kTrue : kFalse);
        } else if (type == &PyBytes_Type) {
            write_bytes(out(), obj);
        } else {
            return false;
        }
        return true;
    }

    // The exact common types go straight to their writer; everything else is
    // classified into a DumpValue first. The outcome is the same either way.
    int write_object(PyObject *obj) const {
        if (write_scalar(obj)) return 0;
        return write_compound(obj);
    }

    // Anything but an exact scalar.
    int write_compound(PyObject *obj) const {
        PyTypeObject *type = Py_TYPE(obj);
        if (type == &PyDict_Type) return write_dict(obj);
        if (type == &PyList_Type) return write_list(obj);
        if (type == &PyTuple_Type) return write_tuple(obj);
        if constexpr (!kDumps) {
            return write_other(obj);
        }
        DumpValue value;
        if (!classify_general(obj, true, value)) raise_cast_error();
        return std::visit(*this, value);
    }

    // The Encoder's modes (encoder_type.cpp): its types, dumps' classification,
    // then the default hook; containers as below, but naming the place of a
    // value that cannot be written, and with sorted keys when deterministic.
    // write_other is kept out of line: the hot loops that call it stay small
    // enough to keep the writers they share inlined.
    VANTRA_NOINLINE int write_other(PyObject *obj) const;
    // Value sharing: a reference written for an object written before (true),
    // or the mark of the next shared index written for this one (false).
    bool written_before(PyObject *obj) const;
    int write_list_located(PyObject *list) const;
    int write_tuple_located(PyObject *tuple) const;
    // identity: the object shared by identity as this map (the dict itself when null).
    int write_dict_located(PyObject *dict, PyObject *identity = nullptr) const;

    int write_simple(unsigned char byte) const { return checked(cbor_inline::write_byte(out(), byte)); }
    int write_signed(long long v) const {
        return checked(v < 0 ? cbor_inline::write_negint(out(), v) : cbor_inline::write_uint(out(), (uint64_t)v));
    }

    // Container heads: the count up front, or an indefinite head closed by a break.
    int head(int major_type, Py_ssize_t count) const {
        return checked(cbor_inline::write_counted_head(out(), major_type, Indefinite ? CBOR_INDEFINITE : (size_t)count));
    }
    int close() const { return Indefinite ? write_simple(kBreak) : 0; }

    // Element hooks run Python code that may change the list: each item is held
    // while it is written, and a change of size stops the call.
    int write_list(PyObject *list) const {
        if constexpr (!kDumps) {
            return write_list_located(list);
        }
        NestingGuard guard(stack);
        Py_ssize_t count = PyList_GET_SIZE(list);
        head(kArray, count);
        // Lists of floats (a vector, a point) start with one: a run is looked
        // for there only, so lists of other items pay nothing for it.
        for (Py_ssize_t i = float_run(reinterpret_cast<PyListObject *>(list)->ob_item, 0, count); i < count; ++i) {
            if (leaf(PyList_GET_ITEM(list, i))) continue;
            py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list, i));
            element<true>(item.ptr());
            if (PyList_GET_SIZE(list) != count) raise_changed("list changed size during iteration");
        }
        return close();
    }

    int write_tuple(PyObject *tuple) const {
        if constexpr (!kDumps) {
            return write_tuple_located(tuple);
        }
        NestingGuard guard(stack);
        Py_ssize_t count = PyTuple_GET_SIZE(tuple);
        head(kArray, count);
        for (Py_ssize_t i = float_run(reinterpret_cast<PyTupleObject *>(tuple)->ob_item, 0, count); i < count; ++i) {
            element(PyTuple_GET_ITEM(tuple, i));
        }
        return close();
    }

    int write_dict(PyObject *dict) const {
        if constexpr (!kDumps) {
            return write_dict_located(dict);
        }
        NestingGuard guard(stack);
        Py_ssize_t count = PyDict_GET_SIZE(dict), pos = 0, written = 0;
        PyObject *k, *v;
        head(kMap, count);
        while (PyDict_Next(dict, &pos, &k, &v)) {
            if (written++ == count) raise_changed("dictionary keys changed during iteration");
            bool key_written = leaf(k);
            if (key_written && leaf(v)) continue;
            py::object key = py::reinterpret_borrow<py::object>(k);
            py::object value = py::reinterpret_borrow<py::object>(v);
            if (!key_written) element<true>(key.ptr());
            if (key_written || !leaf(value.ptr())) element<true>(value.ptr());
            if (PyDict_GET_SIZE(dict) != count) raise_changed("dictionary changed size during iteration");
        }
        if (written != count) raise_changed("dictionary keys changed during iteration");
        return close();
    }
};

}  // namespace vantra
