// The value types that CBOR has and Python lacks: Tag, Simple and undefined,
// and the decoder's error type. Made once, at import.
#pragma once

#include "python.hpp"

#include <cstdint>

namespace vantra {

// A tag without a built-in meaning: its number and its content.
struct TagObject {
    PyObject_HEAD
    uint64_t tag;
    PyObject *value;
};

// A simple value without a Python equivalent (0-19, 32-255).
struct SimpleObject {
    PyObject_HEAD
    unsigned char value;
};

extern PyTypeObject *TagType;
extern PyTypeObject *SimpleType;
extern PyObject *Undefined;        // the one value of simple value 23
extern PyObject *CBORError;             // the base of the classes below
extern PyObject *CBORDecodeError;       // a ValueError
extern PyObject *CBORDecodeEOF;         // a CBORDecodeError and an EOFError: input ends inside an item
extern PyObject *CBOREncodeError;       // the Encoder's errors:
extern PyObject *CBOREncodeTypeError;   // a TypeError
extern PyObject *CBOREncodeValueError;  // a ValueError

// A new Tag, taking a new reference to value; null with an error set.
PyObject *make_tag(uint64_t tag, PyObject *value);
// Simple values that Simple stands for: not false, true, null or undefined
// (20-23), nor the reserved 24-31.
inline bool is_simple_value(unsigned long long value) { return value < 20 || (value >= 32 && value <= 255); }
// A new Simple; value must pass is_simple_value.
PyObject *make_simple(unsigned char value);

// Adds the error classes, Tag, Simple and undefined to the module; false with an error set.
bool add_value_types(PyObject *module);

}  // namespace vantra
