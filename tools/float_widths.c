/*
 * Every single-precision pattern, widened to a double, through the installed
 * module's cbor_write_float, against the compiler's own half and single
 * conversions: a finite value is written as a half when a half holds it
 * exactly and is normal (or zero), else as a single (every one of these is
 * one); NaN as f9 7e00, the infinities as halves. Also doubles next to each
 * single, which no single holds: those are written whole.
 *
 * Built as a shared object and called from the interpreter, which provides
 * the module's own dependencies (make check-floats):
 *
 *     cc -O2 -shared -fPIC tools/float_widths.c -o float_widths.so
 *     python -c 'import ctypes, vantra_cbor as v; exit(ctypes.CDLL("./float_widths.so").check(v.__file__.encode()))'
 */
#include <dlfcn.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "../codec/cbor.h"

static int (*write_float)(cbor_generator *, double);
static unsigned long long failures;

static void expect(cbor_generator *g, double value, const unsigned char *want, size_t size) {
    g->length = 0;
    if (write_float(g, value) < 0 || g->length != size || memcmp(g->data, want, size) != 0) {
        if (failures++ < 10) printf("%a: wrong bytes\n", value);
    }
}

int check(const char *path) {
    void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    cbor_generator *(*create)(void) = (cbor_generator * (*)(void)) dlsym(module, "cbor_generator_create");
    write_float = (int (*)(cbor_generator *, double))dlsym(module, "cbor_write_float");
    cbor_generator *g = create ? create() : NULL;
    if (!g || !write_float || write_float(g, 0.0) < 0) return 2;  /* room for every item from here on */
    unsigned char want[9];
    for (uint64_t i = 0; i < (1ULL << 32); ++i) {
        uint32_t bits = (uint32_t)i;
        float single;
        memcpy(&single, &bits, 4);
        double value = single;
        if (isnan(value) || isinf(value)) {
            uint16_t h = isnan(value) ? 0x7e00 : signbit(value) ? 0xfc00 : 0x7c00;
            want[0] = 0xf9, want[1] = h >> 8, want[2] = h & 0xff;
            expect(g, value, want, 3);
            continue;
        }
        _Float16 half = (_Float16)single;
        if ((double)half == value && (value == 0 || fabs(value) >= 0x1p-14)) {
            uint16_t h;
            memcpy(&h, &half, 2);
            want[0] = 0xf9, want[1] = h >> 8, want[2] = h & 0xff;
            expect(g, value, want, 3);
        } else {
            want[0] = 0xfa;
            for (int k = 0; k < 4; ++k) want[1 + k] = (unsigned char)(bits >> (24 - 8 * k));
            expect(g, value, want, 5);
        }
        double next = nextafter(value, INFINITY);  /* between two singles: a double */
        if (value != 0 && !isinf(next) && (double)(float)next != next) {
            uint64_t d;
            memcpy(&d, &next, 8);
            want[0] = 0xfb;
            for (int k = 0; k < 8; ++k) want[1 + k] = (unsigned char)(d >> (56 - 8 * k));
            expect(g, next, want, 9);
        }
    }
    printf("%llu of the 2**32 single patterns (and their neighbouring doubles) written wrongly\n", failures);
    fflush(stdout);
    return failures != 0;
}
