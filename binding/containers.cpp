// The cold side of containers: nesting bounds and their errors.
#include "python.hpp"

#include <cstdint>
#include <string>

#include "encoder.hpp"

namespace vantra {
void StackBound::exhausted() const {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where_);
    throw PythonErrorSet();
}

NestingGuard::NestingGuard(StackBound &stack) {
    stack.check();
    if (Py_EnterRecursiveCall(stack.where())) throw PythonErrorSet();
}

void raise_depth_exceeded(uint64_t max_depth) {
    throw std::runtime_error("Exceeded recursion limit:" + std::to_string(max_depth));
}

void raise_changed(const char *what) { throw std::runtime_error(what); }

}  // namespace vantra
