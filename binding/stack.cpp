// The extent of a thread's stack, looked up once per thread, each system its
// own way. Built without link-time optimisation, which would drop the symbol
// versions chosen below.
#include "python.hpp"

#include <algorithm>
#include <cstdint>

#if defined(_WIN32)
#define NOMINMAX  // std::min and std::max, not the macros
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#elif defined(__APPLE__)
#include <pthread.h>
#elif defined(__OpenBSD__)
#include <pthread.h>
#include <pthread_np.h>
#include <signal.h>
#elif defined(__linux__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__DragonFly__)
#include <pthread.h>
#if defined(__FreeBSD__) || defined(__DragonFly__)
#include <pthread_np.h>
#endif
#define VANTRA_PTHREAD_ATTRIBUTES 1
#endif

#include "encoder.hpp"

namespace vantra {

#if defined(VANTRA_GNU) && defined(__GLIBC__) && defined(__x86_64__)
// The versions every glibc has had since 2.2.5: the default ones a newer glibc
// links to would keep the module from loading on older systems.
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#endif

VANTRA_THREAD_LOCAL ThreadStack thread_stack = {0, 0};

namespace {

// Where a system cannot tell, or fails to: this much below where the thread's
// first call found its stack pointer, of which the last quarter stays free.
// Small enough for thread stacks of 128 KiB and more (macOS gives secondary
// threads 512 KiB, musl 128 KiB; a 64 KiB one can overflow first), at the cost
// of depth: some 400 levels of lists, where Python's recursion limit is 1000.
constexpr uintptr_t kBudget = 128 * 1024;

// The thread's stack is [low, high): the floor leaves a quarter of it, from
// 16 KiB to 256 KiB, free above its low end. A hook called at the last level,
// and raising the error, run there (the sanitizers' build needs some 10 KiB
// for that).
ThreadStack bounded(uintptr_t low, uintptr_t high) {
    return ThreadStack{low + std::clamp<uintptr_t>((high - low) / 4, 16 * 1024, 256 * 1024), low};
}

// The portable build takes the budget as a system with no way to tell does,
// so that the suite runs it.
#if defined(VANTRA_PORTABLE)
constexpr bool kLooksUp = false;
#elif defined(_WIN32) || defined(__APPLE__) || defined(__OpenBSD__) || defined(VANTRA_PTHREAD_ATTRIBUTES)
constexpr bool kLooksUp = true;
#else
constexpr bool kLooksUp = false;
#endif

// The extent of the calling thread's stack; false when it cannot be had.
bool look_up(uintptr_t &low, uintptr_t &high) {
#if defined(VANTRA_PORTABLE)
    (void)low, (void)high;
    return false;
#elif defined(_WIN32)
    // GetCurrentThreadStackLimits came with Windows 8: looked up rather than
    // linked, so that the module still loads on Windows 7 (Python 3.7 and 3.8).
    using Limits = void(WINAPI *)(PULONG_PTR, PULONG_PTR);
    static const Limits limits = reinterpret_cast<Limits>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetCurrentThreadStackLimits")));
    if (limits) {
        ULONG_PTR lowest = 0, highest = 0;
        limits(&lowest, &highest);
        low = (uintptr_t)lowest, high = (uintptr_t)highest;
    } else {
        // The reservation that holds this frame is the stack; the committed
        // pages from this one up reach its high end.
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQuery(&region, &region, sizeof region) == 0) return false;
        low = reinterpret_cast<uintptr_t>(region.AllocationBase);
        high = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    }
    return low != 0 && high > low;
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    high = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));  // its high end
    size_t size = pthread_get_stacksize_np(self);
    low = high - size;
    return high != 0 && size != 0 && high > size;
#elif defined(__OpenBSD__)
    stack_t stack;
    if (pthread_stackseg_np(pthread_self(), &stack) != 0) return false;
    high = reinterpret_cast<uintptr_t>(stack.ss_sp);  // its high end
    low = high - stack.ss_size;
    return high != 0 && stack.ss_size != 0 && high > stack.ss_size;
#elif defined(VANTRA_PTHREAD_ATTRIBUTES)
    pthread_attr_t attr;
#if defined(__linux__) || defined(__NetBSD__)
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
#else
    if (pthread_attr_init(&attr) != 0) return false;
    if (pthread_attr_get_np(pthread_self(), &attr) != 0) {
        pthread_attr_destroy(&attr);
        return false;
    }
#endif
    void *stack = nullptr;
    size_t size = 0;
    bool found = pthread_attr_getstack(&attr, &stack, &size) == 0 && stack && size;
    pthread_attr_destroy(&attr);
    low = reinterpret_cast<uintptr_t>(stack), high = low + size;
    return found;
#else
    (void)low, (void)high;
    return false;
#endif
}

}  // namespace

uintptr_t find_stack_floor() {
    uintptr_t low = 0, high = 0;
    if (look_up(low, high)) {
        thread_stack = bounded(low, high);
        return thread_stack.floor;
    }
    // A budget below where the stack is now. With no low end known, a call
    // found below the floor (on a stack of another kind, say) is refused
    // rather than trusted. Where the system has a way, a look-up that failed
    // is tried again on the thread's next call; elsewhere the budget is kept.
    high = stack_pointer();
    low = high > kBudget ? high - kBudget : 0;
    uintptr_t floor = std::max<uintptr_t>(bounded(low, high).floor, 1);
    if (!kLooksUp) thread_stack = ThreadStack{floor, 0};
    return floor;
}

}  // namespace vantra
