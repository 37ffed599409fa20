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

// The UTF-8 of a str that is not compact ASCII: its size, or SIZE_MAX when
// the str holds a lone surrogate, which UTF-8 cannot hold.
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
