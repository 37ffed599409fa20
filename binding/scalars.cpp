// Scalars: integers, floats, strings and byte strings.
#include "python.hpp"

#include <cstring>
#include <string>
#include <type_traits>

#include "encoder.hpp"
#include "text.hpp"

namespace vantra {

void raise_no_memory() {
    PyErr_NoMemory();
    throw PythonErrorSet();
}

bool is_ordinary_error(bool for_message) {
    PyObject *type = PyErr_Occurred();
    // The failures of the integer conversions themselves, without a walk of the class hierarchy.
    return type && (type == PyExc_TypeError || type == PyExc_OverflowError ||
                    (PyErr_GivenExceptionMatches(type, PyExc_Exception) &&
                     (for_message || (!PyErr_GivenExceptionMatches(type, PyExc_MemoryError) &&
                                      !PyErr_GivenExceptionMatches(type, PyExc_RecursionError)))));
}

void clear_ordinary_error(bool for_message) {
    if (!PyErr_Occurred()) return;
    if (!is_ordinary_error(for_message)) throw PythonErrorSet();
    PyErr_Clear();
}

void raise_cast_error() {
    throw py::cast_error("Unable to cast Python instance to C++ type (compile in debug mode for details)");
}

namespace {

// RuntimeError with the whole text: unlike an exception's what(), it may hold
// NUL characters (a value's str() can).
[[noreturn]] void raise_runtime_error(const std::string &text) {
    if (PyObject *message = PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t)text.size(), "replace")) {
        PyErr_SetObject(PyExc_RuntimeError, message);
        Py_DECREF(message);
    }
    throw PythonErrorSet();
}

// The first `limit` bytes of text, never ending inside a UTF-8 character.
std::string cut(std::string text, uint64_t limit) {
    if (text.size() <= limit) return text;
    size_t end = (size_t)limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
    text.resize(end);
    return text;
}

// str(obj) for an error message, or why it could not be had.
std::string value_text(PyObject *obj, uint64_t limit) {
    std::string text;
    try {
        text = std::string(py::str(py::reinterpret_borrow<py::object>(obj)));
    } catch (py::error_already_set &e) {
        text = std::string("failed with ") + e.what();
        e.restore();
        clear_ordinary_error(true);
    } catch (const std::exception &e) {
        text = std::string("failed with ") + e.what();
    } catch (...) {
        text = "failed with unknown exception";
    }
    return cut(std::move(text), limit);
}

// obj converted to T (conversion allowed), when the result compares equal to obj.
template <typename T>
bool round_trips(PyObject *obj, T &value) {
    if (!load_int(obj, true, value)) return false;
    // (A long is 32 bits under Windows.)
    PyObject *back = sizeof(T) == sizeof(long)
                         ? std::is_signed<T>::value ? PyLong_FromLong((long)value)
                                                    : PyLong_FromUnsignedLong((unsigned long)value)
                         : std::is_signed<T>::value ? PyLong_FromLongLong((long long)value)
                                                    : PyLong_FromUnsignedLongLong((unsigned long long)value);
    int same = back ? PyObject_RichCompareBool(back, obj, Py_EQ) : -1;
    Py_XDECREF(back);
    if (same < 0) clear_ordinary_error();
    return same == 1;
}

// The size of the shortest head of a string of size bytes (below 64 KiB).
size_t head_size(size_t size) { return size < 24 ? 1 : size <= 0xff ? 2 : 3; }

}  // namespace

// Unsigned when it fits, else signed, else an error quoting the value.
int write_int(Sink *sink, PyObject *obj, uint64_t error_text_limit) {
    unsigned long long u;
    if (round_trips(obj, u)) return checked(cbor_inline::write_uint(sink, u));
    long long s;
    if (round_trips(obj, s)) {
        return checked(s < 0 ? cbor_inline::write_negint(sink, s) : cbor_inline::write_uint(sink, (uint64_t)s));
    }
    raise_runtime_error("dumps received an integer out of range for both int64_t and uint64_t" +
                        value_text(obj, error_text_limit));
}

bool write_str_direct(Sink *sink, PyObject *obj) {
    // An ASCII str has no UTF-8 field to look at: it is its own UTF-8.
    if (sink->strings || !PyUnicode_IS_COMPACT(obj) || PyUnicode_IS_ASCII(obj) ||
        reinterpret_cast<PyCompactUnicodeObject *>(obj)->utf8) {
        return false;
    }
    size_t bound = utf8_bound(obj);
    if (bound < kSegmentFrom) {
        // Written in one pass behind a head as wide as the bound needs; moved
        // up to a narrower one when the UTF-8 turns out shorter.
        unsigned char *p = cbor_inline::reserve(sink, 3 + bound);
        if (!p) raise_no_memory();
        size_t room = head_size(bound);
        size_t size = put_utf8_of(obj, p + room);
        if (size == SIZE_MAX) return false;
        size_t head = head_size(size);
        if (head != room) std::memmove(p + head, p + room, size);
        cbor_inline::put_head(p, 3, size);
        sink->length += head + size;
        return true;
    }
    size_t size = utf8_size_of(obj);
    if (size == SIZE_MAX) return false;
    if (size >= kSegmentFrom) {
        write_segment(sink, 3, obj, nullptr, size);
        return true;
    }
    unsigned char *p = cbor_inline::reserve(sink, 9 + size);
    if (!p) raise_no_memory();
    size_t head = cbor_inline::put_head(p, 3, size);
    write_utf8_of(obj, p + head, size);
    sink->length += head + size;
    return true;
}

int write_str(Sink *sink, PyObject *obj) {
    if (write_str_direct(sink, obj)) return 0;
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) {
        clear_ordinary_error();
        raise_cast_error();
    }
    write_text_of(sink, 3, obj, utf8, (size_t)size);
    return 0;
}

void raise_unreadable_bytes() { throw std::runtime_error("Unable to extract bytes contents!"); }

}  // namespace vantra
