// The general classification: what the exact-type tests in classify() leave.
#include "python.hpp"

#include "dump_value.hpp"

#include <cmath>
#include <cstring>

namespace vantra {
namespace {

template <typename T>
bool take_object(PyObject *obj, DumpValue &out) {
    out.emplace<T>(py::reinterpret_borrow<T>(obj));
    return true;
}

// pybind11's own conversion for the native alternatives, so that each
// interpreter version's integer rules hold as they are.
template <typename T>
bool load_native(PyObject *obj, bool convert, DumpValue &out) {
    py::detail::make_caster<T> caster;
    if (!caster.load(obj, convert)) return false;
    out.emplace<T>(py::detail::cast_op<T>(caster));
    return true;
}

bool load_integer(PyObject *obj, bool convert, DumpValue &out) {
    return load_native<unsigned long long>(obj, convert, out) ||
           load_native<long long>(obj, convert, out);
}

// NumPy's boolean scalar ("numpy.bool_", named "numpy.bool" since NumPy 2).
bool is_numpy_bool(PyTypeObject *type) {
    return std::strcmp(type->tp_name, "numpy.bool_") == 0 ||
           std::strcmp(type->tp_name, "numpy.bool") == 0;
}

// The type's truth slot, when it answers 0 or 1.
bool load_truth(PyObject *obj, DumpValue &out) {
    PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
    if (!nb || !nb->nb_bool) return false;
    int truth = nb->nb_bool(obj);
    if (truth == 0 || truth == 1) {
        out.emplace<bool>(truth == 1);
        return true;
    }
    PyErr_Clear();
    return false;
}

// An int produced by a conversion (a new reference, or null with an error set).
bool take_converted_integer(PyObject *converted, DumpValue &out) {
    py::object integer = py::reinterpret_steal<py::object>(converted);
    if (!integer) {
        PyErr_Clear();
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
    if (nan < 0) PyErr_Clear();
    return nan == 1;
}

// float(obj), when it equals obj (or both are NaN).
bool take_exact_float(PyObject *obj, DumpValue &out) {
    py::object real = py::reinterpret_steal<py::object>(PyNumber_Float(obj));
    if (!real) {
        PyErr_Clear();
        return false;
    }
    int same = PyObject_RichCompareBool(real.ptr(), obj, Py_EQ);
    if (same < 0) {
        PyErr_Clear();
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

bool classify_general(PyObject *obj, bool convert, DumpValue &out) {
    // First pass: no implicit conversion, alternatives in order. (The string
    // view alternative takes only str and bytes, which are taken before it.)
    if (PyBool_Check(obj)) return take_object<py::bool_>(obj, out);
    if (PyFloat_Check(obj)) return take_object<py::float_>(obj, out);
    if (PyLong_Check(obj)) return take_object<py::int_>(obj, out);
    if (PyList_Check(obj)) return take_object<py::list>(obj, out);
    if (PyTuple_Check(obj)) return take_object<py::tuple>(obj, out);
    if (PyDict_Check(obj)) return take_object<py::dict>(obj, out);
    if (PyBytes_Check(obj)) return take_object<py::bytes>(obj, out);
    if (PyUnicode_Check(obj)) return take_object<py::str>(obj, out);
    if (is_numpy_bool(Py_TYPE(obj)) && load_truth(obj, out)) return true;
    if (load_integer(obj, false, out)) return true;
    if (obj == Py_None) return take_object<py::none>(obj, out);
    if (!convert) return false;

    // Second pass, with conversion.
    if (PyNumber_Check(obj)) return load_number(obj, out);
    return load_truth(obj, out) || load_integer(obj, true, out);
}

}  // namespace vantra
