// What differs between compilers and processors, in one place: each feature
// is used where a feature test finds it, with a plain C++ fallback otherwise.
// VANTRA_PORTABLE (CMake's VANTRA_PORTABLE option) takes every fallback, as a
// compiler with none of these features would, so that they are built and
// tested on this machine too.
#ifndef VANTRA_CBOR_PORTABLE_H
#define VANTRA_CBOR_PORTABLE_H

#include <cstdint>
#include <cstring>

#if defined(_MSC_VER)
#include <intrin.h>
#include <stdlib.h>
#endif

#if !defined(VANTRA_PORTABLE)
#if defined(__GNUC__)  // GCC and Clang
#define VANTRA_GNU 1
#elif defined(_MSC_VER)
#define VANTRA_MSVC 1
#endif
#endif

// Inlining hints, where the compiler takes them.
#if defined(VANTRA_GNU)
#define VANTRA_INLINE __attribute__((always_inline)) inline
#define VANTRA_NOINLINE __attribute__((noinline))
#define VANTRA_PRINTF(format_index, first_argument) __attribute__((format(printf, format_index, first_argument)))
#elif defined(VANTRA_MSVC)
#define VANTRA_INLINE __forceinline
#define VANTRA_NOINLINE __declspec(noinline)
#define VANTRA_PRINTF(format_index, first_argument)
#else
#define VANTRA_INLINE inline
#define VANTRA_NOINLINE
#define VANTRA_PRINTF(format_index, first_argument)
#endif

// Data of each thread. Where the compiler has __thread, the initial-exec
// model makes each access one load, without a call.
#if defined(VANTRA_GNU) && !defined(__APPLE__)
#define VANTRA_THREAD_LOCAL __thread
#define VANTRA_INITIAL_EXEC __attribute__((tls_model("initial-exec")))
#else
#define VANTRA_THREAD_LOCAL thread_local
#define VANTRA_INITIAL_EXEC
#endif

// Whether a short copy may read past its source's end when that stays inside
// the source's page (see cbor_inline::copy_short): memory protection never
// splits a page, and no system we build for has pages under 4 KiB. It needs
// GNU inline assembly, which hides the source's extent from the optimizer
// (to which such a read is undefined). Address and memory sanitizers would
// report the bytes read past the end, so their builds, like the portable
// one, copy exactly.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define VANTRA_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VANTRA_SANITIZED 1
#endif
#if defined(VANTRA_GNU) && !defined(VANTRA_SANITIZED)
#define VANTRA_READ_WITHIN_PAGE 1
#endif

// Byte order, when the compiler tells it: the native order's loads and
// stores then serve the big-endian ones. Every Windows target is
// little-endian. Otherwise (and in the portable build) numbers are put
// together and taken apart a byte at a time, whatever the order.
#if defined(VANTRA_PORTABLE)
#elif defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define VANTRA_LITTLE_ENDIAN 1
#elif defined(__BYTE_ORDER__) && defined(__ORDER_BIG_ENDIAN__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define VANTRA_BIG_ENDIAN 1
#elif defined(_MSC_VER)
#define VANTRA_LITTLE_ENDIAN 1
#endif

namespace vantra_portable {

#if defined(VANTRA_LITTLE_ENDIAN)
#if defined(VANTRA_GNU)
inline uint16_t swap16(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t swap32(uint32_t v) { return __builtin_bswap32(v); }
inline uint64_t swap64(uint64_t v) { return __builtin_bswap64(v); }
#elif defined(VANTRA_MSVC)
inline uint16_t swap16(uint16_t v) { return _byteswap_ushort(v); }
inline uint32_t swap32(uint32_t v) { return _byteswap_ulong(v); }
inline uint64_t swap64(uint64_t v) { return _byteswap_uint64(v); }
#else
inline uint16_t swap16(uint16_t v) { return (uint16_t)(v << 8 | v >> 8); }
inline uint32_t swap32(uint32_t v) { return (uint32_t)swap16((uint16_t)v) << 16 | swap16((uint16_t)(v >> 16)); }
inline uint64_t swap64(uint64_t v) { return (uint64_t)swap32((uint32_t)v) << 32 | swap32((uint32_t)(v >> 32)); }
#endif
#endif

// Big-endian numbers of 2, 4 and 8 bytes at any address.
inline uint16_t load_be16(const unsigned char *p) {
#if defined(VANTRA_LITTLE_ENDIAN) || defined(VANTRA_BIG_ENDIAN)
    uint16_t v;
    std::memcpy(&v, p, 2);
#if defined(VANTRA_LITTLE_ENDIAN)
    v = swap16(v);
#endif
    return v;
#else
    return (uint16_t)(p[0] << 8 | p[1]);
#endif
}

inline uint32_t load_be32(const unsigned char *p) {
#if defined(VANTRA_LITTLE_ENDIAN) || defined(VANTRA_BIG_ENDIAN)
    uint32_t v;
    std::memcpy(&v, p, 4);
#if defined(VANTRA_LITTLE_ENDIAN)
    v = swap32(v);
#endif
    return v;
#else
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
#endif
}

inline uint64_t load_be64(const unsigned char *p) {
#if defined(VANTRA_LITTLE_ENDIAN) || defined(VANTRA_BIG_ENDIAN)
    uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(VANTRA_LITTLE_ENDIAN)
    v = swap64(v);
#endif
    return v;
#else
    return (uint64_t)load_be32(p) << 32 | load_be32(p + 4);
#endif
}

inline void store_be16(unsigned char *p, uint64_t v) {
#if defined(VANTRA_LITTLE_ENDIAN) || defined(VANTRA_BIG_ENDIAN)
    uint16_t be = (uint16_t)v;
#if defined(VANTRA_LITTLE_ENDIAN)
    be = swap16(be);
#endif
    std::memcpy(p, &be, 2);
#else
    p[0] = (unsigned char)(v >> 8), p[1] = (unsigned char)v;
#endif
}

inline void store_be32(unsigned char *p, uint64_t v) {
#if defined(VANTRA_LITTLE_ENDIAN) || defined(VANTRA_BIG_ENDIAN)
    uint32_t be = (uint32_t)v;
#if defined(VANTRA_LITTLE_ENDIAN)
    be = swap32(be);
#endif
    std::memcpy(p, &be, 4);
#else
    store_be16(p, v >> 16), store_be16(p + 2, v);
#endif
}

inline void store_be64(unsigned char *p, uint64_t v) {
#if defined(VANTRA_LITTLE_ENDIAN) || defined(VANTRA_BIG_ENDIAN)
#if defined(VANTRA_LITTLE_ENDIAN)
    v = swap64(v);
#endif
    std::memcpy(p, &v, 8);
#else
    store_be32(p, v >> 32), store_be32(p + 4, v);
#endif
}

// The number of bits set.
inline unsigned popcount64(uint64_t v) {
#if defined(VANTRA_GNU)
    return (unsigned)__builtin_popcountll(v);
#else
    v = v - ((v >> 1) & 0x5555555555555555u);
    v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
    v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return (unsigned)((v * 0x0101010101010101u) >> 56);
#endif
}

}  // namespace vantra_portable

#endif  // VANTRA_CBOR_PORTABLE_H
