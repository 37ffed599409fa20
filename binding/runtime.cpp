// Release builds link the C++ runtime statically. Its code reads glibc's
// __libc_single_threaded (from glibc 2.32) to skip atomic operations in
// processes with one thread; this copy, which never claims that, keeps the
// module loadable on older glibc, at the price of atomics that are always used.
#include <cstdlib>  // defines __GLIBC__ under glibc

#if defined(__GLIBC__)
extern "C" {
__attribute__((visibility("hidden"), used)) char __libc_single_threaded = 0;
}
#endif
