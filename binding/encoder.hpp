// The encoder state and the four handler sets (definite/indefinite heads,
// with or without a depth limit), all instances of one template.
#pragma once

#include <cstdint>
#include <memory>

#include "cbor.h"
#include "dump_value.hpp"

namespace vantra {

struct GeneratorFree {
    void operator()(cbor_generator *generator) const { cbor_generator_free(generator); }
};
using GeneratorPtr = std::unique_ptr<cbor_generator, GeneratorFree>;

// Largest number of bytes of a value's text quoted in an error message.
constexpr uint64_t kErrorTextLimit = 40;

template <bool Limited>
struct DumpEncoder;

template <>
struct DumpEncoder<false> {
    GeneratorPtr generator;
    uint64_t error_text_limit;
};

template <>
struct DumpEncoder<true> {
    GeneratorPtr generator;
    uint64_t depth;
    uint64_t max_depth;
    uint64_t error_text_limit;
};

[[noreturn]] void raise_no_memory();
[[noreturn]] void raise_cast_error();
[[noreturn]] void raise_depth_exceeded(uint64_t max_depth);
[[noreturn]] void raise_changed(const char *what);

// Held around every container: nesting is bounded by Python's recursion limit
// and by the native stack that is left, so no value can overflow the stack.
class NestingGuard {
public:
    NestingGuard();
    ~NestingGuard() { Py_LeaveRecursiveCall(); }
    NestingGuard(const NestingGuard &) = delete;
    NestingGuard &operator=(const NestingGuard &) = delete;
};

// A writer fails only when the codec cannot allocate.
inline int checked(int status) {
    if (status < 0) raise_no_memory();
    return status;
}

// Scalars are written the same way in every mode.
int write_int(cbor_generator *generator, PyObject *obj, uint64_t error_text_limit);
int write_float(cbor_generator *generator, PyObject *obj);
int write_str(cbor_generator *generator, PyObject *obj);
int write_bytes(cbor_generator *generator, PyObject *obj);

template <bool Indefinite, bool Limited>
struct Encode {
    DumpEncoder<Limited> &encoder;

    cbor_generator *out() const { return encoder.generator.get(); }

    int operator()(const py::bool_ &v) const {
        return checked(v.ptr() == Py_True ? cbor_write_true(out()) : cbor_write_false(out()));
    }
    int operator()(const py::float_ &v) const { return write_float(out(), v.ptr()); }
    int operator()(const py::int_ &v) const {
        return write_int(out(), v.ptr(), encoder.error_text_limit);
    }
    int operator()(const py::list &v) const { return write_list(v.ptr()); }
    int operator()(const py::tuple &v) const { return write_tuple(v.ptr()); }
    int operator()(const py::dict &v) const { return write_dict(v.ptr()); }
    int operator()(const py::bytes &v) const { return write_bytes(out(), v.ptr()); }
    int operator()(const py::str &v) const { return write_str(out(), v.ptr()); }
    int operator()(bool v) const { return checked(v ? cbor_write_true(out()) : cbor_write_false(out())); }
    int operator()(unsigned long long v) const { return checked(cbor_write_uint(out(), v)); }
    int operator()(long long v) const {
        return checked(v < 0 ? cbor_write_negint(out(), v) : cbor_write_uint(out(), (uint64_t)v));
    }
    int operator()(std::string_view v) const {
        return checked(cbor_write_text_string(out(), v.data(), v.size()));
    }
    int operator()(const py::none &) const { return checked(cbor_write_null(out())); }

    // Classifies a list item, dict key or dict value and writes it with this set.
    void element(PyObject *child) const {
        if constexpr (Limited) {
            if (++encoder.depth > encoder.max_depth) raise_depth_exceeded(encoder.max_depth);
        }
        DumpValue value;
        if (!classify(child, true, value)) raise_cast_error();
        std::visit(*this, value);
        if constexpr (Limited) --encoder.depth;
    }

    int head(int (*writer)(cbor_generator *, size_t), Py_ssize_t count) const {
        return checked(writer(out(), Indefinite ? CBOR_INDEFINITE : (size_t)count));
    }
    int close() const { return Indefinite ? checked(cbor_write_break(out())) : 0; }

    // Element hooks run Python code that may change the list: each item is held
    // while it is written, and a change of size stops the call.
    int write_list(PyObject *list) const {
        NestingGuard guard;
        Py_ssize_t count = PyList_GET_SIZE(list);
        head(cbor_write_array, count);
        for (Py_ssize_t i = 0; i < count; ++i) {
            py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list, i));
            element(item.ptr());
            if (PyList_GET_SIZE(list) != count) raise_changed("list changed size during iteration");
        }
        return close();
    }

    int write_tuple(PyObject *tuple) const {
        NestingGuard guard;
        Py_ssize_t count = PyTuple_GET_SIZE(tuple);
        head(cbor_write_array, count);
        for (Py_ssize_t i = 0; i < count; ++i) element(PyTuple_GET_ITEM(tuple, i));
        return close();
    }

    int write_dict(PyObject *dict) const {
        NestingGuard guard;
        Py_ssize_t count = PyDict_GET_SIZE(dict), pos = 0, written = 0;
        PyObject *k, *v;
        head(cbor_write_map, count);
        while (PyDict_Next(dict, &pos, &k, &v)) {
            if (written++ == count) raise_changed("dictionary keys changed during iteration");
            py::object key = py::reinterpret_borrow<py::object>(k);
            py::object value = py::reinterpret_borrow<py::object>(v);
            element(key.ptr());
            element(value.ptr());
            if (PyDict_GET_SIZE(dict) != count) raise_changed("dictionary changed size during iteration");
        }
        if (written != count) raise_changed("dictionary keys changed during iteration");
        return close();
    }
};

}  // namespace vantra
