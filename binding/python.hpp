// The interpreter's API, included before anything else in the binding.
#pragma once

#include <Python.h>

#include "portable.h"  // inlining hints, byte order, and the other compiler features

// Interpreter symbols that only some of the supported versions define. They
// are referenced weakly, so that a build loaded under another version still
// loads far enough for its start-up check to refuse it with a clear
// ImportError; each is called only under the versions that have it. (Only
// ELF and Mach-O have weak references; a Windows build is bound to one
// interpreter's DLL by name.)
#if defined(__GNUC__)
#if defined(__clang__)
// Clang warns of each that this version does not declare, by no name of its own.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Weverything"
#endif
#pragma weak PyCMethod_New
#pragma weak PyFrame_GetBack
#pragma weak PyFrame_GetCode
#pragma weak PyIndex_Check
#pragma weak PyThreadState_GetUnchecked
#pragma weak Py_EnterRecursiveCall
#pragma weak Py_LeaveRecursiveCall
#pragma weak _PyByteArray_empty_string
#pragma weak _Py_CheckRecursionLimit
#pragma weak _PyTrash_begin
#pragma weak _PyTrash_cond
#pragma weak _PyTrash_end
#pragma weak _PyTrash_thread_deposit_object
#pragma weak _PyTrash_thread_destroy_chain
#if PY_VERSION_HEX < 0x030E0000
// From 3.14 on an inline function over PyThreadState_GetUnchecked.
#pragma weak _PyThreadState_UncheckedGet
#endif
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
#endif

// Py_SET_SIZE came with 3.9.
#if PY_VERSION_HEX < 0x03090000 && !defined(Py_SET_SIZE)
#define Py_SET_SIZE(ob, size) (reinterpret_cast<PyVarObject *>(ob)->ob_size = (size))
#endif

// Which of the interned names a keyword argument is: its index, or count for
// none. Keywords written in code are interned too, so one pointer pass finds
// them; the rest are compared by value.
inline int keyword_index(PyObject *keyword, PyObject *const *names, int count) {
    for (int i = 0; i < count; ++i) {
        if (keyword == names[i]) return i;
    }
    int i = 0;
    while (i < count && PyUnicode_Compare(keyword, names[i]) != 0) ++i;
    return i;
}

namespace vantra {

// An owned reference, released on every exit.
class Ref {
public:
    explicit Ref(PyObject *obj = nullptr) : obj_(obj) {}
    ~Ref() { Py_XDECREF(obj_); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    PyObject *get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }
    PyObject *release() {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    void reset(PyObject *obj) {
        Py_XDECREF(obj_);
        obj_ = obj;
    }

private:
    PyObject *obj_;
};

}  // namespace vantra
