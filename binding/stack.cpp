// The extent of a thread's stack, looked up once per thread. Built without
// link-time optimisation, which would drop the symbol versions chosen below.
#include "python.hpp"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

#include "encoder.hpp"

namespace vantra {

#if defined(__GLIBC__) && defined(__x86_64__)
// The versions every glibc has had since 2.2.5: the default ones a newer glibc
// links to would keep the module from loading on older systems.
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#endif

__thread ThreadStack thread_stack = {0, 0};

uintptr_t find_stack_floor() {
    uintptr_t floor = 1, low_end = 0;
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return floor;  // tried again next call
    void *low = nullptr;
    size_t size = 0;
    if (pthread_attr_getstack(&attr, &low, &size) == 0 && low) {
        // A quarter of the stack, from 16 KiB to 256 KiB, stays free: a hook
        // called at the last level, and raising the error, run there (the
        // sanitizers' build needs some 10 KiB for that).
        low_end = reinterpret_cast<uintptr_t>(low);
        floor = low_end + std::clamp<size_t>(size / 4, 16 * 1024, 256 * 1024);
    }
    pthread_attr_destroy(&attr);
#endif
    thread_stack = ThreadStack{floor, low_end};
    return floor;
}

}  // namespace vantra
