// DumpValue: what dumps accepts, and how a Python object is classified into it.
#pragma once

#include "python.hpp"

#include <pybind11/pybind11.h>

#include <string_view>
#include <variant>

namespace vantra {

namespace py = pybind11;

// Thrown once a Python exception is set, to unwind to the entry; unlike
// pybind11's error_already_set it allocates nothing, so it also carries
// MemoryError out of a call that has run out of memory.
struct PythonErrorSet {};

// After Python code called for a conversion failed: an ordinary failure (an
// Exception other than MemoryError and RecursionError) is cleared and the
// conversion declines; an interrupt or a fatal error stays set, and the call
// unwinds with it (PythonErrorSet). For the text of an error message only
// interrupts unwind: the error being reported matters more than its text.
void clear_ordinary_error(bool for_message = false);
// Whether the error set is an ordinary failure (for a message's text: any Exception).
bool is_ordinary_error(bool for_message = false);

// pybind11's conversions, step for step, so that each interpreter version's
// rules hold as they are, except that they clear errors as above: to a 64-bit
// integer (T: long long, unsigned long long or unsigned long), and to a truth
// value (True, False, None, or the type's truth slot answering 0 or 1).
template <typename T>
bool load_int(PyObject *obj, bool convert, T &value);
bool load_truth(PyObject *obj, bool &value);

// The order of the alternatives decides classification.
using DumpValue = std::variant<py::bool_, py::float_, py::int_, py::list, py::tuple, py::dict,
                               py::bytes, py::str, bool, unsigned long long, long long,
                               std::string_view, py::none>;

// Everything but the exact common types: subclasses, then the general two passes.
bool classify_general(PyObject *obj, bool convert, DumpValue &out);

// Holds obj as alternative T (a new reference; no object is made for the choice).
template <class T>
bool hold_as(PyObject *obj, DumpValue &out) {
    out.emplace<T>(py::reinterpret_borrow<T>(obj));
    return true;
}

// Whether obj is of one of the exact common types below, which classify()
// takes as they are: such an object can be written without being classified.
inline bool is_exact_common(PyObject *obj) {
    PyTypeObject *type = Py_TYPE(obj);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyDict_Type ||
           type == &PyList_Type || type == &PyTuple_Type || type == &PyBytes_Type || obj == Py_True ||
           obj == Py_False || obj == Py_None;
}

// Classifies obj into out (holding a new reference for the object alternatives);
// false when no alternative takes it. The common types are decided by one
// type-pointer or identity test each.
inline bool classify(PyObject *obj, bool convert, DumpValue &out) {
    PyTypeObject *type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) return hold_as<py::str>(obj, out);
    if (type == &PyLong_Type) return hold_as<py::int_>(obj, out);
    if (obj == Py_True || obj == Py_False) return hold_as<py::bool_>(obj, out);
    if (type == &PyFloat_Type) return hold_as<py::float_>(obj, out);
    if (obj == Py_None) return hold_as<py::none>(obj, out);
    if (type == &PyDict_Type) return hold_as<py::dict>(obj, out);
    if (type == &PyList_Type) return hold_as<py::list>(obj, out);
    if (type == &PyTuple_Type) return hold_as<py::tuple>(obj, out);
    if (type == &PyBytes_Type) return hold_as<py::bytes>(obj, out);
    return classify_general(obj, convert, out);
}

}  // namespace vantra

namespace pybind11 {
namespace detail {

template <typename Variant>
struct union_name;
template <typename... Ts>
struct union_name<std::variant<Ts...>> {
    static constexpr auto name = const_name("Union[") + concat(make_caster<Ts>::name...) + const_name("]");
};

// dumps' first parameter: classified by hand, named as the variant it is.
template <>
struct type_caster<vantra::DumpValue> {
    PYBIND11_TYPE_CASTER(vantra::DumpValue, union_name<vantra::DumpValue>::name);

    bool load(handle src, bool convert) { return src && vantra::classify(src.ptr(), convert, value); }
};

}  // namespace detail
}  // namespace pybind11
