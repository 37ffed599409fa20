// The call path of dumps. pybind11 builds the function's record (names,
// defaults, docstring, signature) at import; calls then go through a vectorcall
// entry that matches and converts the arguments exactly as pybind11's general
// dispatcher does, without its per-call allocations.
#include "python.hpp"

#include <cstring>
#include <string>

#include "encoder.hpp"
#include "entry.hpp"

namespace vantra {
namespace {

namespace detail = py::detail;

const detail::function_record *record;  // owned by the function's capsule
PyObject *parameter_names[3];           // interned: value, indefinite, max_depth

// Fills given[] from the positional and keyword arguments; false when they fit
// no parameter list: too many, unknown or repeated names, or no value.
bool match(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, PyObject *given[3]) {
    if (nargs > 3) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        int parameter = keyword_index(keyword, parameter_names, 3);
        if (parameter == 3 || given[parameter]) return false;
        given[parameter] = args[nargs + k];
    }
    return given[0] != nullptr;
}

std::string repr_or_note(PyObject *obj) {
    try {
        return py::repr(obj);
    } catch (py::error_already_set &e) {
        e.restore();
        clear_ordinary_error(true);
        return "<repr raised Error>";
    }
}

// The TypeError for arguments that fit no parameter list, worded as pybind11 words it.
PyObject *incompatible(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    std::string msg = std::string(record->name) +
                      "(): incompatible function arguments. The following argument types are supported:\n"
                      "    1. " + record->signature + "\n\nInvoked with: ";
    for (Py_ssize_t i = 0; i < nargs; ++i) msg += (i ? ", " : "") + repr_or_note(args[i]);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw) msg += nargs ? "; kwargs: " : "kwargs: ";
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        msg += k ? ", " : "";
        msg += py::str("{}=").format(py::handle(PyTuple_GET_ITEM(kwnames, k))).cast<std::string>();
        msg += repr_or_note(args[nargs + k]);
    }
    if (msg.find("std::") != std::string::npos) {
        msg += "\n\nDid you forget to `#include <pybind11/stl.h>`? Or <pybind11/complex.h>,\n"
               "<pybind11/functional.h>, <pybind11/chrono.h>, etc. Some automatic\n"
               "conversions are optional and require extra headers to be included\n"
               "when compiling your pybind11 module.";
    }
    if (PyErr_Occurred()) {
        py::raise_from(PyExc_TypeError, msg.c_str());
    } else {
        PyErr_SetString(PyExc_TypeError, msg.c_str());
    }
    return nullptr;
}

// The options, converted as pybind11 converts them (conversion allowed); an
// absent one keeps its default.
bool convert(PyObject *obj, bool &out) { return !obj || load_truth(obj, out); }
bool convert(PyObject *obj, unsigned long &out) { return !obj || load_int(obj, true, out); }

// Arguments matched, classified and converted as pybind11's dispatcher would.
VANTRA_NOINLINE PyObject *dumps_general(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *given[3] = {nullptr, nullptr, nullptr};
    DumpValue value;
    bool indefinite = true;
    unsigned long max_depth = 0;
    if (!match(args, nargs, kwnames, given)) return incompatible(args, nargs, kwnames);
    bool common = is_exact_common(given[0]);
    if ((!common && !classify(given[0], true, value)) || !convert(given[1], indefinite) ||
        !convert(given[2], max_depth)) {
        return incompatible(args, nargs, kwnames);
    }
    return common ? dumps_common(given[0], indefinite, max_depth) : dumps(value, indefinite, max_depth).release().ptr();
}

// The common calls, dumps(value), dumps(value, flag) and
// dumps(value, indefinite=flag) with flag True or False: the flag, or false
// for any other call.
bool plain_call(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames, bool &indefinite) {
    if (nargs == 1 && !kwnames) return true;
    PyObject *flag;
    if (nargs == 2 && !kwnames) {
        flag = args[1];
    } else if (nargs == 1 && PyTuple_GET_SIZE(kwnames) == 1 && PyTuple_GET_ITEM(kwnames, 0) == parameter_names[1]) {
        flag = args[1];
    } else {
        return false;
    }
    indefinite = flag == Py_True;
    return indefinite || flag == Py_False;
}

PyObject *dumps_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    // A plain call with a value of an exact common type: nothing to match, classify or convert.
    bool indefinite = true;
    if (nargs >= 1 && plain_call(args, nargs, kwnames, indefinite) && is_exact_common(args[0])) {
        return guarded([&] { return dumps_common(args[0], indefinite, 0); });
    }
    return guarded([&] { return dumps_general(args, nargs, kwnames); });
}

}  // namespace

PyObject *translate_current_exception() {
    if (detail::apply_exception_translators(detail::get_local_internals().registered_exception_translators) ||
        detail::apply_exception_translators(detail::get_internals().registered_exception_translators)) {
        return nullptr;
    }
    PyErr_SetString(PyExc_SystemError, "Exception escaped from default exception translator!");
    return nullptr;
}

void install_entry(py::module_ &module) {
    py::object defined = module.attr("dumps");
    PyObject *capsule = PyCFunction_GET_SELF(defined.ptr());
    record = py::reinterpret_borrow<py::capsule>(capsule);
    for (int i = 0; i < 3; ++i) parameter_names[i] = PyUnicode_InternFromString(record->args[i].name);
    static PyMethodDef def = {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(dumps_entry)),
                              METH_FASTCALL | METH_KEYWORDS, record->def->ml_doc};
    // The capsule stays the function's self, and keeps the record alive.
    py::object entry = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&def, capsule, module.attr("__name__").ptr()));
    if (!entry) throw py::error_already_set();
    module.add_object("dumps", entry, true);
}

}  // namespace vantra
