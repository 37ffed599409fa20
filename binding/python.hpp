// The interpreter's API, included before anything else in the binding.
#pragma once

#include <Python.h>

// Interpreter symbols that only some of the supported versions define. They
// are referenced weakly, so that a build loaded under another version still
// loads far enough for its start-up check to refuse it with a clear
// ImportError; each is called only under the versions that have it.
#pragma weak PyCMethod_New
#pragma weak PyFrame_GetBack
#pragma weak PyFrame_GetCode
#pragma weak PyIndex_Check
#pragma weak PyThreadState_GetUnchecked
#pragma weak Py_EnterRecursiveCall
#pragma weak Py_LeaveRecursiveCall
#pragma weak _PyThreadState_UncheckedGet
#pragma weak _Py_CheckRecursionLimit
#pragma weak _PyTrash_begin
#pragma weak _PyTrash_cond
#pragma weak _PyTrash_end
#pragma weak _PyTrash_thread_deposit_object
#pragma weak _PyTrash_thread_destroy_chain

// Before 3.9 an object's size is set through its field.
#ifndef Py_SET_SIZE
#define Py_SET_SIZE(o, size) (((PyVarObject *)(o))->ob_size = (size))
#endif

// Inlining hints, where the compiler takes them.
#if defined(_MSC_VER)
#define VANTRA_INLINE __forceinline
#define VANTRA_NOINLINE __declspec(noinline)
#elif defined(__GNUC__)
#define VANTRA_INLINE __attribute__((always_inline)) inline
#define VANTRA_NOINLINE __attribute__((noinline))
#else
#define VANTRA_INLINE inline
#define VANTRA_NOINLINE
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
