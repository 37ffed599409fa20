// Runs a callback on a stack of its own, mapped apart from the thread's, as
// coroutine libraries do: run_on_own_stack(fn, size) is 0 once fn has run.
#include <stddef.h>
#include <sys/mman.h>
#include <ucontext.h>

static ucontext_t caller, callee;
static void (*callback)(void);

static void trampoline(void) { callback(); }

int run_on_own_stack(void (*fn)(void), size_t size) {
    void *stack = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED || getcontext(&callee) != 0) return -1;
    callee.uc_stack.ss_sp = stack;
    callee.uc_stack.ss_size = size;
    callee.uc_link = &caller;
    callback = fn;
    makecontext(&callee, trampoline, 0);
    int status = swapcontext(&caller, &callee);
    munmap(stack, size);
    return status;
}
