// Text both ways through simdutf: UTF-8 into a str of the narrowest kind, and
// a str's 1-, 2- or 4-byte characters straight into UTF-8.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <cstdint>

namespace vantra {

// A str from UTF-8 (validated as strictly as the interpreter validates it: no
// overlong forms, no surrogates, nothing past U+10FFFF), of the narrowest
// kind that holds it: a new reference; null with an error set when it cannot
// be allocated, with none when s is not UTF-8.
PyObject *str_from_utf8(const unsigned char *s, size_t n);

// The most bytes of UTF-8 that a str's characters can take: two for each
// character of kind 1, three for kind 2, four for kind 4.
inline size_t utf8_bound(PyObject *text) {
    unsigned kind = PyUnicode_KIND(text);
    return (size_t)PyUnicode_GET_LENGTH(text) * (kind + (kind < 4));
}

// Writes the UTF-8 of a str that is not compact ASCII at out, which has room
// for utf8_bound() bytes: its size, or SIZE_MAX when the str
// holds a lone surrogate, which UTF-8 cannot hold (the bytes at out are then
// of no use). Made for short strs: it measures and writes in one pass.
size_t put_utf8_of(PyObject *text, unsigned char *out);

// The UTF-8 of a str that is not compact ASCII: its size, or SIZE_MAX when
// the str holds a lone surrogate.
size_t utf8_size_of(PyObject *text);

// Writes the UTF-8 of a str that utf8_size_of() has measured (size bytes) at out.
void write_utf8_of(PyObject *text, unsigned char *out, size_t size);

}  // namespace vantra

namespace vantra {

// The characters of UTF-8 and the largest character the str holding them
// needs (0x7f, 0xff, 0xffff or 0x10ffff, as PyUnicode_New takes it): false
// when s is not UTF-8.
bool measure_utf8(const unsigned char *s, size_t n, size_t &characters, Py_UCS4 &largest);

// UTF-8 that measure_utf8() has taken, decoded into text's characters from
// index at on (text's kind holds them all): the characters written.
size_t decode_utf8_into(PyObject *text, size_t at, const unsigned char *s, size_t n);

}  // namespace vantra
