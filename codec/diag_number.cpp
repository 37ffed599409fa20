// Shortest round-trip float text. Compilers whose library has the floating
// point std::to_chars/from_chars (GCC 11 on) use them; older ones (the
// manylinux2014 toolchain) search printf's precisions and read back with
// strtod, both under the "C" locale of this thread only.
#include "diag_number.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#if defined(__has_include)
#if __has_include(<charconv>)
#include <charconv>
#endif
#endif

#if !defined(__cpp_lib_to_chars) || defined(VANTRA_DIAG_PRINTF_FLOATS)
#define VANTRA_DIAG_USE_PRINTF 1
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <locale.h>
#if defined(_WIN32)
#include <string>
#endif
#endif

namespace cbor_diag_number {

namespace {

#ifdef VANTRA_DIAG_USE_PRINTF
#if defined(_WIN32)
// The "C" numeric locale for this thread while it lives (the thread's own
// locale, switched on for the while); the caller's after. Windows has no
// uselocale.
class CLocale {
public:
    CLocale() : mode_(_configthreadlocale(_ENABLE_PER_THREAD_LOCALE)) {
        const char *now = std::setlocale(LC_NUMERIC, nullptr);
        if (now) saved_ = now;
        ok_ = now && std::setlocale(LC_NUMERIC, "C");
    }
    ~CLocale() {
        if (ok_) std::setlocale(LC_NUMERIC, saved_.c_str());
        if (mode_ != -1) _configthreadlocale(mode_);
    }
    bool ok() const { return ok_; }

private:
    int mode_;
    std::string saved_;
    bool ok_;
};
#else
// The "C" numeric locale for this thread while it lives; the caller's after.
class CLocale {
public:
    CLocale() {
        static locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", (locale_t)0);
        saved_ = c_locale ? uselocale(c_locale) : (locale_t)0;
    }
    ~CLocale() {
        if (saved_) uselocale(saved_);
    }
    bool ok() const { return saved_ != (locale_t)0; }

private:
    locale_t saved_;
};
#endif

// The decimal of as many digits as sci's (d[.ddd]e[+-]x), one unit in its
// last digit away towards above or below, written over it; its length.
size_t next_decimal(char *sci, bool above) {
    char digits[20];
    int count = 0;
    const char *c = sci;
    for (; *c != 'e'; ++c) {
        if (*c != '.') digits[count++] = *c;
    }
    int exponent = std::atoi(c + 1), i = count - 1;
    if (above) {
        for (; i >= 0 && digits[i] == '9'; --i) digits[i] = '0';
        if (i >= 0) {
            ++digits[i];
        } else {
            digits[0] = '1', ++exponent;  // 9.99 up is 1.00 of the next power
        }
    } else {
        for (; i > 0 && digits[i] == '0'; --i) digits[i] = '9';
        --digits[i];  // the leading digit is never 0
        if (digits[0] == '0') {
            std::memmove(digits, digits + 1, (size_t)count - 1);  // 1.00 down is 9.99 of the power below
            digits[count - 1] = '9', --exponent;
        }
    }
    return (size_t)std::snprintf(sci, 32, "%c%s%.*se%+d", digits[0], count > 1 ? "." : "", count - 1, digits + 1,
                                 exponent);
}

// Scientific digits of v (positive, finite, not zero): the fewest that read
// back, the nearest of those. printf gives the nearest of each length; when
// it does not read back, the decimal on v's other side may, as next to a
// power of two, where the doubles below are twice as close as those above.
size_t scientific(double v, char *out) {
    CLocale c;
    for (int precision = 0; precision < 17; ++precision) {
        int n = std::snprintf(out, 32, "%.*e", precision, v);
        double back = std::strtod(out, nullptr);
        if (back == v) return (size_t)n;
        size_t other = next_decimal(out, back < v);
        if (std::strtod(out, nullptr) == v) return other;
    }
    return (size_t)std::snprintf(out, 32, "%.16e", v);
}
#else
size_t scientific(double v, char *out) {
    auto result = std::to_chars(out, out + 31, v, std::chars_format::scientific);
    *result.ptr = 0;
    return (size_t)(result.ptr - out);
}
#endif

}  // namespace

size_t format_uint(uint64_t v, char *out) {
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    for (size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    return n;
}

size_t format_double(double v, char *out) {
    char *p = out;
    if (std::signbit(v)) *p++ = '-', v = -v;
    if (v == 0) {
        std::memcpy(p, "0.0", 3);
        return (size_t)(p - out) + 3;
    }
    // d[.ddd]e[+-]x: the digits, then the decimal exponent.
    char sci[32];
    size_t n = scientific(v, sci);
    char digits[20];
    size_t count = 0, i = 0;
    for (; i < n && sci[i] != 'e'; ++i) {
        if (sci[i] >= '0' && sci[i] <= '9') digits[count++] = sci[i];
    }
    int exponent = std::atoi(sci + i + 1);
    while (count > 1 && digits[count - 1] == '0') --count;
    if (exponent >= -4 && exponent < 16) {
        if (exponent < 0) {
            *p++ = '0', *p++ = '.';
            for (int z = -1; z > exponent; --z) *p++ = '0';
            std::memcpy(p, digits, count);
            p += count;
        } else {
            size_t whole = (size_t)exponent + 1;
            for (size_t k = 0; k < whole; ++k) *p++ = k < count ? digits[k] : '0';
            *p++ = '.';
            if (count > whole) {
                std::memcpy(p, digits + whole, count - whole);
                p += count - whole;
            } else {
                *p++ = '0';
            }
        }
    } else {
        *p++ = digits[0], *p++ = '.';
        if (count > 1) {
            std::memcpy(p, digits + 1, count - 1);
            p += count - 1;
        } else {
            *p++ = '0';
        }
        *p++ = 'e', *p++ = exponent < 0 ? '-' : '+';
        p += format_uint((uint64_t)(exponent < 0 ? -exponent : exponent), p);
    }
    return (size_t)(p - out);
}

bool parse_double(const char *text, size_t size, double *out) {
#ifdef VANTRA_DIAG_USE_PRINTF
    // strtod wants a terminated string; numbers longer than this are cut to
    // their significant part by nobody, so they are refused.
    char buffer[512];
    if (size >= sizeof buffer) return false;
    std::memcpy(buffer, text, size);
    buffer[size] = 0;
    CLocale c;
    if (!c.ok()) return false;
    char *end;
    *out = std::strtod(buffer, &end);
    return end == buffer + size;
#else
    auto result = std::from_chars(text, text + size, *out, std::chars_format::general);
    // Out of range: from_chars leaves the value alone; the caller wants the
    // infinity or zero that the decimal rounds to.
    if (result.ec == std::errc::result_out_of_range && result.ptr == text + size) {
        // The decimal exponent of the leading digit says which.
        size_t mantissa = 0, point = size, lead = size;
        for (; mantissa < size && text[mantissa] != 'e' && text[mantissa] != 'E'; ++mantissa) {
            if (text[mantissa] == '.') point = mantissa;
            else if (lead == size && text[mantissa] != '0') lead = mantissa;
        }
        if (point == size) point = mantissa;
        long exponent = 0;
        for (size_t i = mantissa + 1; i < size; ++i) {
            if (text[i] >= '0' && text[i] <= '9' && exponent < 100000) exponent = exponent * 10 + (text[i] - '0');
        }
        if (mantissa + 1 < size && text[mantissa + 1] == '-') exponent = -exponent;
        long order = (lead < point ? (long)(point - lead) - 1 : -(long)(lead - point)) + exponent;
        *out = order < 0 ? 0.0 : HUGE_VAL;
        return true;
    }
    return result.ec == std::errc() && result.ptr == text + size;
#endif
}

}  // namespace cbor_diag_number
