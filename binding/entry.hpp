// dumps: the body, and the entry Python calls.
#pragma once

#include "python.hpp"

#include <pybind11/pybind11.h>

#include "dump_value.hpp"

namespace vantra {

// Encodes value with the handler set picked by indefinite and max_depth.
py::bytes dumps(const DumpValue &value, bool indefinite, unsigned long max_depth);

// The same for a value of an exact common type (is_exact_common), which needs
// no classification first.
PyObject *dumps_common(PyObject *value, bool indefinite, unsigned long max_depth);

// Writes dumps(value, indefinite, max_depth) to the file object fp.
void dump(const DumpValue &value, py::object fp, bool indefinite, unsigned long max_depth);

// Replaces the module's dumps, defined through pybind11, by an entry that
// shares its record and takes its arguments without the general dispatcher.
void install_entry(py::module_ &module);

// Sets the Python error for the C++ exception being handled (called in a
// catch (...) block), as pybind11's dispatcher would; returns null.
PyObject *translate_current_exception();

// Runs f, which returns a new reference (or null with an error set), and
// turns a C++ exception it throws into the error pybind11's dispatcher would set.
template <class F>
PyObject *guarded(F &&f) {
    try {
        return f();
    } catch (const PythonErrorSet &) {
        return nullptr;
    } catch (py::error_already_set &e) {
        e.restore();
        return nullptr;
#ifdef __GLIBCXX__
    } catch (abi::__forced_unwind &) {
        throw;
#endif
    } catch (...) {
        return translate_current_exception();
    }
}

// Adds the Encoder type to the module; false with an error set.
bool add_encoder_type(PyObject *module);

// A thread's first C++ exception sets up libstdc++'s per-thread state, and
// glibc aborts the process if that allocation fails. Importing pays it for the
// importing thread, so that an out-of-memory error in dumps can be raised.
void prepare_exceptions();

}  // namespace vantra
