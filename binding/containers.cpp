// The cold side of containers: nesting bounds and their errors.
#include "python.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "encoder.hpp"

namespace vantra {
namespace {

const char kRecursionWhere[] = " while encoding a CBOR object";

}  // namespace

void StackBound::deeper() {
    if (!exact_) {
        // The lowest address this thread may reach, keeping room to raise the
        // error; unknown extents leave only Python's recursion limit.
        exact_ = true;
        bound_ = 0;
#if defined(__GLIBC__)
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void *low = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &low, &size) == 0 && low) {
                bound_ = reinterpret_cast<uintptr_t>(low) + std::min<size_t>(size / 4, 256 * 1024);
            }
            pthread_attr_destroy(&attr);
        }
#endif
        if (here() >= bound_) return;
    }
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kRecursionWhere);
    throw PythonErrorSet();
}

NestingGuard::NestingGuard(StackBound &stack) {
    stack.check();
    if (Py_EnterRecursiveCall(kRecursionWhere)) throw PythonErrorSet();
}

void raise_depth_exceeded(uint64_t max_depth) {
    throw std::runtime_error("Exceeded recursion limit:" + std::to_string(max_depth));
}

void raise_changed(const char *what) { throw std::runtime_error(what); }

}  // namespace vantra
