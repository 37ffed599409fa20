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
    int operator()(const py::list &) const { return containers_unsupported(); }
    int operator()(const py::tuple &) const { return containers_unsupported(); }
    int operator()(const py::dict &) const { return containers_unsupported(); }
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

    static int containers_unsupported() {
        throw std::runtime_error("dumps cannot encode lists, tuples or dicts yet");
    }
};

}  // namespace vantra
