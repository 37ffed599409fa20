// The tag families: each reads its tags and writes its Python types, side by
// side in one file. This header is the one list of them: registry.cpp makes
// the table the decoder consults from the readers, and the Encoder's from the
// writers.
#pragma once

#include <string>

#include "../decode.hpp"
#include "../values.hpp"

namespace vantra {

// ---- Readers: each reads the content of the tag whose head is behind the cursor.

// datetime.cpp: 0 (RFC 3339 text), 1 (epoch seconds), 100 (days), 1004 (full-date text).
PyObject *read_datetime_text(Decoder &decoder, uint64_t number, Place place);
PyObject *read_datetime_epoch(Decoder &decoder, uint64_t number, Place place);
PyObject *read_date_days(Decoder &decoder, uint64_t number, Place place);
PyObject *read_date_text(Decoder &decoder, uint64_t number, Place place);
// numbers.cpp: 2 and 3 (bignums), 4 (decimal fractions).
PyObject *read_bignum(Decoder &decoder, uint64_t number, Place place);
PyObject *read_decimal_fraction(Decoder &decoder, uint64_t number, Place place);
// identifiers.cpp: 37 (UUID).
PyObject *read_uuid(Decoder &decoder, uint64_t number, Place place);
// typed_arrays.cpp: 64-87 (RFC 8746 typed arrays), 40 (multi-dimensional arrays).
PyObject *read_typed_array(Decoder &decoder, uint64_t number, Place place);
PyObject *read_shaped_array(Decoder &decoder, uint64_t number, Place place);

// Sets up what the families need from the interpreter at import: false with an error set.
bool init_datetime_family();

// ---- Writers: each writes the Python types of its family for the Encoder ----------
// They raise as the Encoder does: PythonErrorSet once a Python error is set,
// Unencodable (through refuse()) for a value that cannot be written.

// What a call takes from its Encoder.
struct EncoderSettings {
    PyObject *default_hook;   // null for none
    bool epoch;               // datetime_as="epoch"
    bool value_sharing;       // tags 28 and 29
    bool string_referencing;  // tags 256 and 25
};

enum class Leaf { kWritten, kNotMine, kUnsupported };

struct WriteArgs {
    Sink *sink;
    const EncoderSettings &settings;
    bool shortest;  // floats at their shortest width, half-precision subnormals too
    bool last;      // obj is the whole value: no Python code runs before the result is made
};

// kWritten, kNotMine for an object of another type, kUnsupported for one of
// the family's types in a form it cannot write.
using TypeWrite = Leaf (*)(const WriteArgs &args, PyObject *obj);

// datetime.cpp: datetime (tag 0 or 1) and date (tag 1004).
Leaf write_datetime(const WriteArgs &args, PyObject *obj);
// numbers.cpp: Decimal (tag 4); ints past 64 bits are written by write_wide_int (tags 2 and 3).
Leaf write_decimal(const WriteArgs &args, PyObject *obj);
// identifiers.cpp: UUID (tag 37).
Leaf write_uuid(const WriteArgs &args, PyObject *obj);
// typed_arrays.cpp: NumPy arrays (tags 64-86, and 40); what it cannot write, and why.
Leaf write_ndarray(const WriteArgs &args, PyObject *obj);
std::string ndarray_note(PyObject *obj);

// registry.cpp: each family's writer in turn, the first that takes obj.
Leaf write_family_type(const WriteArgs &args, PyObject *obj);
// Looks up in sys.modules the types of modules imported since the last look;
// true when one was found.
bool look_up_types();

// ---- What writers share (encoder_type.cpp) --------------------------------------

// A type whose module may never be imported: an instance cannot exist before
// its module is, so it is looked up in sys.modules only and kept once found.
struct LazyType {
    const char *module;
    const char *name;
    PyTypeObject *type;
};
// True when the type was found just now.
bool look_up(LazyType &lazy);
inline bool is_instance(PyObject *obj, const LazyType &lazy) {
    return lazy.type && PyObject_TypeCheck(obj, lazy.type);
}
extern LazyType decimal_type, uuid_type, ndarray_type;

[[noreturn]] void raise_python_error();
[[noreturn]] void refuse(PyObject *error_type, std::string what, std::string hint = "");
std::string type_name(PyObject *obj);
std::string utf8_of(PyObject *text);
int write_head(Sink *sink, int major_type, uint64_t argument);
int write_bytes_of(Sink *sink, PyObject *owner, const void *data, size_t size);
int write_float_value(Sink *sink, double value, bool shortest);
// A memoryview of obj, holding its buffer while its bytes wait in the output.
py::object view_of(PyObject *obj);
// Contiguous bytes as a byte string, kept for the result or copied now;
// false when they are not contiguous.
bool write_contiguous(Sink *sink, PyObject *view_object, bool keep);

constexpr int kTagMajor = 6, kBytesMajor = 2, kTextMajor = 3;

}  // namespace vantra

namespace vantra {

// For a reader whose module could not be imported (the error is set): a
// CBORDecodeError that says so, with the import's error as its cause. Other
// errors (RecursionError, an interrupt) are left as they are.
PyObject *import_failed(Decoder &decoder, const unsigned char *at, uint64_t number, const char *module);

}  // namespace vantra
