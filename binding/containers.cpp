// The cold side of containers: nesting bounds and their errors.
#include "python.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

#include "encoder.hpp"

namespace vantra {
bool StackBound::beyond_floor() {
    // Below the thread's stack altogether, the call runs on a stack of its own
    // (a coroutine library's) whose extent is unknown: Python's recursion
    // limit alone bounds it, as in a thread whose extent cannot be had.
    if (stack_pointer() < thread_stack.low) {
        floor_ = 1;
        return true;
    }
    return too_deep();
}

bool StackBound::too_deep() const {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where_);
    return false;
}

#ifdef VANTRA_INTERPRETER_STACK_LIMIT
bool StackBound::ask_interpreter() {
    uintptr_t here = stack_pointer();
    if (here < floor_ && !beyond_floor()) return false;
    if (Py_EnterRecursiveCall(where_) != 0) {
        // Its error is worded after the stack ("Stack overflow (used 28 kB)
        // while encoding a CBOR object"); it stops a container here, so the
        // error is ours, worded as under every version.
        if (!PyErr_ExceptionMatches(PyExc_RecursionError)) return false;
        PyErr_Clear();
        return too_deep();
    }
    Py_LeaveRecursiveCall();
    ask_below_ = std::max(floor_, here - std::min(here, kAskEvery));
    return true;
}
#endif

bool enter_recursive_call(StackBound &stack) { return Py_EnterRecursiveCall(stack.where()) == 0; }

void raise_depth_exceeded(uint64_t max_depth) {
    throw std::runtime_error("Exceeded recursion limit:" + std::to_string(max_depth));
}

void raise_changed(const char *what) { throw std::runtime_error(what); }

}  // namespace vantra
