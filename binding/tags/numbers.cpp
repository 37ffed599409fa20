// Numbers: bignums (tags 2 and 3) and decimal fractions (tag 4).
#include "tags.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace vantra {
namespace {

LazyImport decimal_class("decimal", "Decimal");
LazyImport decimal_context("decimal", "Context");
LazyImport decimal_max_prec("decimal", "MAX_PREC");
LazyImport decimal_max_emax("decimal", "MAX_EMAX");
LazyImport decimal_min_emin("decimal", "MIN_EMIN");

// Mantissas up to this many bits go through decimal text (fast, and far
// below the interpreter's limit on int-to-str digits); longer ones are
// converted without it, in time close to linear in their length.
constexpr long kTextBits = 4096;

PyObject *call_method(PyObject *obj, const char *name, PyObject *a, PyObject *b = nullptr) {
    Ref method(PyUnicode_FromString(name));
    return method ? PyObject_CallMethodObjArgs(obj, method.get(), a, b, nullptr) : nullptr;
}

// A non-negative int as a Decimal, split in halves at a power-of-two
// multiple of kTextBits bits: Decimal(high) * 2**k + Decimal(low), with
// exact arithmetic (a context of the greatest precision). powers[j] caches
// 2**(kTextBits << j) as a Decimal.
class ExactDecimal {
public:
    ExactDecimal(PyObject *decimal, PyObject *context) : decimal_(decimal), context_(context) {}
    ~ExactDecimal() {
        for (PyObject *p : powers_) Py_XDECREF(p);
    }

    PyObject *convert(PyObject *n, long bits) {
        if (bits <= kTextBits) return PyObject_CallFunctionObjArgs(decimal_, n, nullptr);
        int j = 0;
        while ((kTextBits << (j + 1)) < bits) ++j;
        PyObject *power = power_of_two(j);
        Ref shift(PyLong_FromLong(kTextBits << j));
        if (!power || !shift) return nullptr;
        Ref high(PyNumber_Rshift(n, shift.get()));
        Ref one(PyLong_FromLong(1));
        Ref bound(one ? PyNumber_Lshift(one.get(), shift.get()) : nullptr);
        Ref mask(bound ? PyNumber_Subtract(bound.get(), one.get()) : nullptr);
        Ref low(mask ? PyNumber_And(n, mask.get()) : nullptr);
        if (!high || !low) return nullptr;
        Ref high_decimal(convert(high.get(), bits - (kTextBits << j)));
        Ref low_decimal(high_decimal ? convert(low.get(), kTextBits << j) : nullptr);
        Ref scaled(low_decimal ? call_method(context_, "multiply", high_decimal.get(), power) : nullptr);
        return scaled ? call_method(context_, "add", scaled.get(), low_decimal.get()) : nullptr;
    }

private:
    PyObject *power_of_two(int j) {
        while ((int)powers_.size() <= j) {
            PyObject *next;
            if (powers_.empty()) {
                Ref two(PyLong_FromLong(2)), exponent(PyLong_FromLong(kTextBits));
                Ref base(two ? PyObject_CallFunctionObjArgs(decimal_, two.get(), nullptr) : nullptr);
                next = base && exponent ? call_method(context_, "power", base.get(), exponent.get()) : nullptr;
            } else {
                next = call_method(context_, "multiply", powers_.back(), powers_.back());
            }
            if (!next) return nullptr;
            powers_.push_back(next);
        }
        return powers_[(size_t)j];
    }

    PyObject *decimal_;
    PyObject *context_;
    std::vector<PyObject *> powers_;
};

// A context in which Decimal arithmetic on integers and scaling are exact.
PyObject *exact_context(Decoder &decoder) {
    static PyObject *context;
    if (context) return context;
    PyObject *make = decimal_context.get(decoder);
    PyObject *prec = make ? decimal_max_prec.get(decoder) : nullptr;
    PyObject *emax = prec ? decimal_max_emax.get(decoder) : nullptr;
    PyObject *emin = emax ? decimal_min_emin.get(decoder) : nullptr;
    if (!emin) return nullptr;
    Ref args(PyTuple_New(0)), kwargs(Py_BuildValue("{sOsOsO}", "prec", prec, "Emax", emax, "Emin", emin));
    if (!args || !kwargs) return nullptr;
    context = PyObject_Call(make, args.get(), kwargs.get());  // kept for the process
    return context;
}

// The bits of n's magnitude, or -1 with an error set.
long magnitude_bits(PyObject *n) {
    int overflow;
    long long small = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (!overflow) {
        unsigned long long m = small < 0 ? 0ULL - (unsigned long long)small : (unsigned long long)small;
        long bits = 0;
        for (; m; m >>= 1) ++bits;
        return bits;
    }
    Ref count(PyObject_CallMethod(n, "bit_length", nullptr));
    return count ? PyLong_AsLong(count.get()) : -1;
}

// mantissa * 10**exponent exactly, for a long mantissa.
PyObject *long_decimal(Decoder &decoder, PyObject *decimal, PyObject *mantissa, PyObject *exponent) {
    PyObject *context = exact_context(decoder);
    if (!context) return nullptr;
    Ref magnitude(PyNumber_Absolute(mantissa));
    if (!magnitude) return nullptr;
    long bits = magnitude_bits(magnitude.get());
    if (bits < 0) return nullptr;
    Ref value(ExactDecimal(decimal, context).convert(magnitude.get(), bits));
    int negative = value ? PyObject_RichCompareBool(mantissa, magnitude.get(), Py_NE) : 0;
    if (negative < 0) return nullptr;
    if (negative) value.reset(call_method(value.get(), "copy_negate", nullptr));
    return value ? call_method(context, "scaleb", value.get(), exponent) : nullptr;
}

// ---- Writing -------------------------------------------------------------------------

// A non-negative exact int past 64 bits, as tag 2 or 3 over its big-endian magnitude.
int write_bignum(Sink *sink, int tag, PyObject *magnitude) {
    static PyObject *name_bit_length = PyUnicode_InternFromString("bit_length");
    static PyObject *name_to_bytes = PyUnicode_InternFromString("to_bytes");
    static PyObject *name_big = PyUnicode_InternFromString("big");
    if (!name_bit_length || !name_to_bytes || !name_big) raise_python_error();
    py::object bits = py::reinterpret_steal<py::object>(PyObject_CallMethodObjArgs(magnitude, name_bit_length, nullptr));
    if (!bits) raise_python_error();
    Py_ssize_t size = (PyLong_AsSsize_t(bits.ptr()) + 7) / 8;
    py::object length = py::reinterpret_steal<py::object>(PyLong_FromSsize_t(size));
    if (!length) raise_python_error();
    py::object data = py::reinterpret_steal<py::object>(
        PyObject_CallMethodObjArgs(magnitude, name_to_bytes, length.ptr(), name_big, nullptr));
    if (!data) raise_python_error();
    write_head(sink, kTagMajor, (uint64_t)tag);
    return write_bytes_of(sink, data.ptr(), PyBytes_AS_STRING(data.ptr()), (size_t)PyBytes_GET_SIZE(data.ptr()));
}


// Tag 4 [exponent, mantissa], read from the decimal's own text ("-1.25E+7");
// NaN and the infinities, which tag 4 cannot hold, as floats.
int write_decimal_fraction(Sink *sink, PyObject *obj) {
    py::object text = py::reinterpret_steal<py::object>(decimal_type.type->tp_str(obj));
    if (!text) raise_python_error();
    std::string s = utf8_of(text.ptr());
    size_t i = 0;
    bool negative = s[i] == '-';
    if (negative || s[i] == '+') ++i;
    if (i < s.size() && !(s[i] >= '0' && s[i] <= '9')) {
        bool infinite = s[i] == 'I';
        return checked(cbor_inline::write_float(sink, infinite ? (negative ? -HUGE_VAL : HUGE_VAL) : NAN));
    }
    size_t end = std::min(s.find_first_of("Ee", i), s.size()), dot = s.find('.', i);
    std::string digits;
    for (size_t j = i; j < end; ++j) {
        if (j != dot) digits += s[j];
    }
    long long fraction = dot < end ? (long long)(end - dot - 1) : 0, exponent = 0;
    if (end < s.size()) {
        errno = 0;
        exponent = std::strtoll(s.c_str() + end + 1, nullptr, 10);
        if (errno) refuse(CBOREncodeValueError, "cannot encode a Decimal whose exponent exceeds 64 bits");
    }
    exponent -= fraction;
    write_head(sink, kTagMajor, 4);
    checked(cbor_inline::write_counted_head(sink, kArray, 2));
    checked(exponent < 0 ? cbor_inline::write_negint(sink, exponent) : cbor_inline::write_uint(sink, (uint64_t)exponent));
    if (digits.size() <= 18) {
        long long mantissa = std::stoll(digits);
        if (negative) mantissa = -mantissa;
        return checked(mantissa < 0 ? cbor_inline::write_negint(sink, mantissa)
                                    : cbor_inline::write_uint(sink, (uint64_t)mantissa));
    }
    // int(Decimal(digits)): exact, and without int(str)'s digit limit.
    py::object whole = py::reinterpret_steal<py::object>(
        PyObject_CallFunction(reinterpret_cast<PyObject *>(decimal_type.type), "s", ((negative ? "-" : "") + digits).c_str()));
    if (!whole) raise_python_error();
    py::object mantissa = py::reinterpret_steal<py::object>(PyNumber_Long(whole.ptr()));
    if (!mantissa) raise_python_error();
    return write_wide_int(sink, mantissa.ptr(), kErrorTextLimit);
}


}  // namespace

Leaf write_decimal(const WriteArgs &args, PyObject *obj) {
    if (!is_instance(obj, decimal_type)) return Leaf::kNotMine;
    write_decimal_fraction(args.sink, obj);
    return Leaf::kWritten;
}

int write_wide_int(Sink *sink, PyObject *obj, uint64_t error_text_limit) {
    int overflow;
    PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) return write_int(sink, obj, error_text_limit);
    // The int's own value, whatever a subclass's conversions say.
    py::object exact = py::reinterpret_steal<py::object>(PyLong_Type.tp_as_number->nb_int(obj));
    if (!exact) raise_python_error();
    if (overflow > 0) {
        PyLong_AsUnsignedLongLong(exact.ptr());
        if (!PyErr_Occurred()) return write_int(sink, obj, error_text_limit);
        PyErr_Clear();
        return write_bignum(sink, 2, exact.ptr());
    }
    // Below -2**63: major type 1 holds -1 - n up to 2**64-1, tag 3 the rest.
    py::object complement = py::reinterpret_steal<py::object>(PyLong_Type.tp_as_number->nb_invert(exact.ptr()));
    if (!complement) raise_python_error();
    unsigned long long argument = PyLong_AsUnsignedLongLong(complement.ptr());
    if (!PyErr_Occurred()) return write_head(sink, 1, argument);
    PyErr_Clear();
    return write_bignum(sink, 3, complement.ptr());
}

// Tags 2 and 3: a byte string's big-endian magnitude (n, or -1 - n).
PyObject *read_bignum(Decoder &decoder, uint64_t number, Place) {
    const unsigned char *at = decoder.cursor();
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    if (!PyBytes_CheckExact(content.get())) {
        return decoder.fail(at, "tag %d content is not a byte string", (int)number);
    }
    Ref magnitude(_PyLong_FromByteArray(reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(content.get())),
                                        (size_t)PyBytes_GET_SIZE(content.get()), 0, 0));
    if (!magnitude || number == 2) return magnitude.release();
    return PyNumber_Invert(magnitude.get());
}

// Tag 4: [exponent, mantissa], mantissa * 10**exponent exactly.
PyObject *read_decimal_fraction(Decoder &decoder, uint64_t number, Place) {
    const unsigned char *at = decoder.cursor();
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    PyObject *c = content.get();
    if (!PyList_CheckExact(c) || PyList_GET_SIZE(c) != 2 || !PyLong_CheckExact(PyList_GET_ITEM(c, 0)) ||
        !PyLong_CheckExact(PyList_GET_ITEM(c, 1))) {
        return decoder.fail(at, "tag 4 content is not a decimal fraction [exponent, mantissa]");
    }
    PyObject *exponent = PyList_GET_ITEM(c, 0), *mantissa = PyList_GET_ITEM(c, 1);
    PyObject *decimal = decimal_class.get(decoder);
    if (!decimal) return import_failed(decoder, at, number, "decimal");
    long bits = magnitude_bits(mantissa);
    if (bits < 0) return nullptr;
    PyObject *value;
    if (bits <= kTextBits) {
        Ref text(PyUnicode_FromFormat("%SE%S", mantissa, exponent));
        value = text ? PyObject_CallFunctionObjArgs(decimal, text.get(), nullptr) : nullptr;
    } else {
        value = long_decimal(decoder, decimal, mantissa, exponent);
    }
    if (!value && is_ordinary_error()) {
        return decoder.fail_from_error(at, "tag 4 content is not a decimal fraction [exponent, mantissa]");
    }
    return value;
}

}  // namespace vantra
