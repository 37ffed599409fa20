// The cold side of containers: nesting bounds and their errors.
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "encoder.hpp"

namespace vantra {
namespace {

const char kRecursionWhere[] = " while encoding a CBOR object";

// The lowest stack address this thread may reach while encoding, keeping room
// to raise the error; 0 when the stack's extent is unknown.
uintptr_t stack_floor() {
    thread_local const uintptr_t floor = [] {
        pthread_attr_t attr;
        void *low = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstack(&attr, &low, &size);
            pthread_attr_destroy(&attr);
        }
        return low ? reinterpret_cast<uintptr_t>(low) + std::min<size_t>(size / 4, 256 * 1024) : 0;
    }();
    return floor;
}

}  // namespace

NestingGuard::NestingGuard() {
    if (Py_EnterRecursiveCall(kRecursionWhere)) throw py::error_already_set();
    if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < stack_floor()) {
        Py_LeaveRecursiveCall();
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", kRecursionWhere);
        throw py::error_already_set();
    }
}

void raise_depth_exceeded(uint64_t max_depth) {
    throw std::runtime_error("Exceeded recursion limit:" + std::to_string(max_depth));
}

void raise_changed(const char *what) { throw std::runtime_error(what); }

}  // namespace vantra
