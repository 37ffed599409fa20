// The tag families: each reads its tags and writes its Python types, side by
// side in one file. This header lists them; registry.cpp holds the one table
// of tags, with each family's readers and writer, that the decoder and the
// Encoder both consult.
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
// numbers.cpp: 2 and 3 (bignums), 4 (decimal fractions), 5 (bigfloats), 30 (rational numbers).
PyObject *read_bignum(Decoder &decoder, uint64_t number, Place place);
PyObject *read_decimal_fraction(Decoder &decoder, uint64_t number, Place place);
PyObject *read_bigfloat(Decoder &decoder, uint64_t number, Place place);
PyObject *read_rational(Decoder &decoder, uint64_t number, Place place);
// identifiers.cpp: 37 (UUID); 52 and 54 (RFC 9164 IP addresses), 260 and 261 (the older ones).
PyObject *read_uuid(Decoder &decoder, uint64_t number, Place place);
PyObject *read_ip(Decoder &decoder, uint64_t number, Place place);
PyObject *read_network_address(Decoder &decoder, uint64_t number, Place place);
PyObject *read_network_prefix(Decoder &decoder, uint64_t number, Place place);
// text.cpp: 35 (regular expressions), 36 (MIME messages).
PyObject *read_regex(Decoder &decoder, uint64_t number, Place place);
PyObject *read_mime(Decoder &decoder, uint64_t number, Place place);
// typed_arrays.cpp: 64-87 (RFC 8746 typed arrays), 40 (multi-dimensional arrays).
PyObject *read_typed_array(Decoder &decoder, uint64_t number, Place place);
PyObject *read_shaped_array(Decoder &decoder, uint64_t number, Place place);

// Sets up what the families need from the interpreter at import: false with an error set.
bool init_datetime_family();
// The Encoder's timezone option: None or a tzinfo; false with an error set for anything else.
bool check_timezone_option(PyObject *given);

// ---- Writers: each writes the Python types of its family for the Encoder ----------
// They raise as the Encoder does: PythonErrorSet once a Python error is set,
// Unencodable (through refuse()) for a value that cannot be written.

// What a call takes from its Encoder.
struct EncoderSettings {
    PyObject *default_hook;   // null for none
    bool epoch;               // datetime_as="epoch"
    bool value_sharing;       // tags 28 and 29
    bool string_referencing;  // tags 256 and 25
    PyObject *timezone;       // given to naive datetimes; null for none
    bool length_first;        // deterministic="length-first": keys by length, then bytewise
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
// numbers.cpp: Decimal (tag 4), Fraction (tag 30); ints past 64 bits are written by
// write_wide_int (tags 2 and 3).
Leaf write_decimal(const WriteArgs &args, PyObject *obj);
Leaf write_fraction(const WriteArgs &args, PyObject *obj);
// identifiers.cpp: UUID (tag 37); ipaddress addresses, networks and interfaces (tags 52 and 54).
Leaf write_uuid(const WriteArgs &args, PyObject *obj);
Leaf write_ip(const WriteArgs &args, PyObject *obj);
std::string ip_note(PyObject *obj);
// text.cpp: re.Pattern (tag 35), email.message.Message (tag 36).
Leaf write_pattern(const WriteArgs &args, PyObject *obj);
std::string pattern_note(PyObject *obj);
Leaf write_mime(const WriteArgs &args, PyObject *obj);
std::string message_note(PyObject *obj);
// typed_arrays.cpp: NumPy arrays (tags 64-86, and 40); what it cannot write, and why.
Leaf write_ndarray(const WriteArgs &args, PyObject *obj);
std::string ndarray_note(PyObject *obj);

// registry.cpp: each family's writer in turn, the first that takes obj; and
// why a family's type (kUnsupported) cannot be written, or "".
Leaf write_family_type(const WriteArgs &args, PyObject *obj);
std::string family_note(PyObject *obj);
// Looks up in sys.modules the types of modules imported since the last look;
// true when one was found. look_up_new_types() looks only when sys.modules
// has grown or shrunk since (a module removed and another imported in its
// place go unseen until the next look_up_types()).
bool look_up_types();
bool look_up_new_types();

// ---- What writers share (encoder_type.cpp) --------------------------------------

// A type whose module may never be imported: an instance cannot exist before
// its module is, so it is looked up in sys.modules only and kept once found.
struct LazyType {
    const char *module;
    const char *name;
    PyTypeObject *type;
    PyObject *key = nullptr;  // module, interned once
};
// 1 when the type was found just now, -1 when its module is not imported, else 0.
int look_up(LazyType &lazy);
inline bool is_instance(PyObject *obj, const LazyType &lazy) {
    return lazy.type && PyObject_TypeCheck(obj, lazy.type);
}
extern LazyType decimal_type, uuid_type, ndarray_type, fraction_type, pattern_type, message_type;
// The Encoder's own (encoder_type.cpp): NumPy's numbers, Enum.
extern LazyType numpy_number_type, numpy_bool_type, enum_type;
extern LazyType ipv4_address_type, ipv6_address_type, ipv4_network_type, ipv6_network_type, ipv4_interface_type,
    ipv6_interface_type;

[[noreturn]] void raise_python_error();
[[noreturn]] void refuse(PyObject *error_type, std::string what, std::string hint = "");
std::string type_name(PyObject *obj);
std::string utf8_of(PyObject *text);
// obj.name: a new reference (raises as the Encoder does).
py::object attribute_of(PyObject *obj, const char *name);
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
