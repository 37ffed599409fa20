// The general classification: what the exact-type tests in classify() leave.
#include "python.hpp"

#include "dump_value.hpp"

#include <cmath>
#include <cstring>
#include <type_traits>

namespace vantra {
namespace {

bool load_integer(PyObject *obj, bool convert, DumpValue &out) {
    unsigned long long u;
    if (load_int(obj, convert, u)) {
        out.emplace<unsigned long long>(u);
        return true;
    }
    long long s;
    if (load_int(obj, convert, s)) {
        out.emplace<long long>(s);
        return true;
    }
    return false;
}

// NumPy's boolean scalar ("numpy.bool_", named "numpy.bool" since NumPy 2).
bool is_numpy_bool(PyTypeObject *type) {
    return std::strcmp(type->tp_name, "numpy.bool_") == 0 ||
           std::strcmp(type->tp_name, "numpy.bool") == 0;
}

// NumPy's bool by its truth slot.
bool take_truth(PyObject *obj, DumpValue &out) {
    bool truth;
    if (!load_truth(obj, truth)) return false;
    out.emplace<bool>(truth);
    return true;
}

// An int produced by a conversion (a new reference, or null with an error set).
bool take_converted_integer(PyObject *converted, DumpValue &out) {
    py::object integer = py::reinterpret_steal<py::object>(converted);
    if (!integer) {
        clear_ordinary_error();
        return false;
    }
    return load_integer(integer.ptr(), false, out);
}

// obj != obj, for numbers whose float() is NaN.
bool is_nan(PyObject *obj) {
    int nan = -1;
    if (PyObject *ne = PyObject_RichCompare(obj, obj, Py_NE)) {
        nan = PyObject_IsTrue(ne);
        Py_DECREF(ne);
    }
    if (nan < 0) clear_ordinary_error();
    return nan == 1;
}

// float(obj), when it equals obj (or both are NaN).
bool take_exact_float(PyObject *obj, DumpValue &out) {
    py::object real = py::reinterpret_steal<py::object>(PyNumber_Float(obj));
    if (!real) {
        clear_ordinary_error();
        return false;
    }
    int same = PyObject_RichCompareBool(real.ptr(), obj, Py_EQ);
    if (same < 0) {
        clear_ordinary_error();
        return false;
    }
    if (same == 0 && !(std::isnan(PyFloat_AS_DOUBLE(real.ptr())) && is_nan(obj))) return false;
    out.emplace<py::float_>(py::reinterpret_steal<py::float_>(real.release()));
    return true;
}

// Numbers keep their value: an integer by __index__ or __int__, a float that
// float() holds exactly. Any other number is refused, never written as a truth value.
bool load_number(PyObject *obj, DumpValue &out) {
    PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
    if (PyIndex_Check(obj)) return take_converted_integer(PyNumber_Index(obj), out);
    if (nb && nb->nb_float) return take_exact_float(obj, out);
    if (nb && nb->nb_int) return take_converted_integer(PyNumber_Long(obj), out);
    return false;
}

}  // namespace

template <typename T>
bool load_int(PyObject *obj, bool convert, T &value) {
    // A long where it has the width (64 bits under LP64, 32 under Windows'
    // LLP64), else a long long.
    static_assert(sizeof(T) == sizeof(long) || sizeof(T) == sizeof(long long), "an integer of a C width");
    if (!obj || PyFloat_Check(obj) || (!convert && !PyLong_Check(obj) && !PyIndex_Check(obj))) return false;
    PyObject *number = obj;
#if PY_VERSION_HEX < 0x03080000
    py::object index;
    if (!PyLong_Check(obj)) {
        index = py::reinterpret_steal<py::object>(PyNumber_Index(obj));
        if (index) {
            number = index.ptr();
        } else {
            clear_ordinary_error();
            if (!convert) return false;
        }
    }
#endif
    T v = sizeof(T) == sizeof(long)
              ? std::is_unsigned<T>::value ? (T)PyLong_AsUnsignedLong(number) : (T)PyLong_AsLong(number)
              : std::is_unsigned<T>::value ? (T)PyLong_AsUnsignedLongLong(number) : (T)PyLong_AsLongLong(number);
    if (v == (T)-1 && PyErr_Occurred()) {
        clear_ordinary_error();
        if (!convert || !PyNumber_Check(obj)) return false;
        py::object converted = py::reinterpret_steal<py::object>(PyNumber_Long(obj));
        if (!converted) clear_ordinary_error();
        return converted && load_int(converted.ptr(), false, value);
    }
    value = v;
    return true;
}

template bool load_int(PyObject *, bool, long long &);
template bool load_int(PyObject *, bool, unsigned long long &);
template bool load_int(PyObject *, bool, unsigned long &);

bool load_truth(PyObject *obj, bool &value) {
    int truth = obj == Py_True ? 1 : obj == Py_False || obj == Py_None ? 0 : -1;
    PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
    if (truth < 0 && nb && nb->nb_bool) truth = nb->nb_bool(obj);
    if (truth == 0 || truth == 1) {
        value = truth == 1;
        return true;
    }
    if (PyErr_Occurred()) clear_ordinary_error();
    return false;
}

bool classify_general(PyObject *obj, bool convert, DumpValue &out) {
    // First pass: no implicit conversion, alternatives in order. (The string
    // view alternative takes only str and bytes, which are taken before it.)
    if (PyBool_Check(obj)) return hold_as<py::bool_>(obj, out);
    if (PyFloat_Check(obj)) return hold_as<py::float_>(obj, out);
    if (PyLong_Check(obj)) return hold_as<py::int_>(obj, out);
    if (PyList_Check(obj)) return hold_as<py::list>(obj, out);
    if (PyTuple_Check(obj)) return hold_as<py::tuple>(obj, out);
    if (PyDict_Check(obj)) return hold_as<py::dict>(obj, out);
    if (PyBytes_Check(obj)) return hold_as<py::bytes>(obj, out);
    if (PyUnicode_Check(obj)) return hold_as<py::str>(obj, out);
    if (is_numpy_bool(Py_TYPE(obj)) && take_truth(obj, out)) return true;
    if (load_integer(obj, false, out)) return true;
    if (obj == Py_None) return hold_as<py::none>(obj, out);
    if (!convert) return false;

    // Second pass, with conversion, for numbers only (3.7's PyNumber_Check
    // leaves out __index__). Anything else is refused: a truth value alone is
    // never written as a boolean, so no value is lost without a word.
    return (PyNumber_Check(obj) || PyIndex_Check(obj)) && load_number(obj, out);
}

}  // namespace vantra
