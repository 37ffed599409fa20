// The cold side of containers: nesting bounds and their errors.
#include "python.hpp"

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
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where_);
    return false;
}

bool enter_recursive_call(StackBound &stack) { return Py_EnterRecursiveCall(stack.where()) == 0; }

void raise_depth_exceeded(uint64_t max_depth) {
    throw std::runtime_error("Exceeded recursion limit:" + std::to_string(max_depth));
}

void raise_changed(const char *what) { throw std::runtime_error(what); }

}  // namespace vantra
