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
