/* Preloaded into a test subprocess: fails the nth allocation made while armed. */
#include <stddef.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *block, size_t size);

static int armed, fail_rest;
static long seen, fail_at;

static int fail_now(void) {
    if (!armed) return 0;
    ++seen;
    return fail_at > 0 && (seen == fail_at || (fail_rest && seen > fail_at));
}

/* Counts allocations from now on and fails the nth (0: none). */
void failalloc_arm(long nth) {
    seen = 0;
    fail_at = nth;
    fail_rest = 0;
    armed = 1;
}

/* As failalloc_arm, but every allocation after the nth fails too. */
void failalloc_arm_from(long nth) {
    failalloc_arm(nth);
    fail_rest = 1;
}

/* Stops counting; returns how many allocations were made while armed. */
long failalloc_disarm(void) {
    armed = 0;
    return seen;
}

void *malloc(size_t size) { return fail_now() ? NULL : __libc_malloc(size); }
void *calloc(size_t count, size_t size) { return fail_now() ? NULL : __libc_calloc(count, size); }
void *realloc(void *block, size_t size) { return fail_now() ? NULL : __libc_realloc(block, size); }
