// The one table of tags with a built-in meaning: which family reads each.
#include "tags.hpp"

namespace vantra {
namespace {

PyObject *read_set(Decoder &decoder, uint64_t, Place place) { return decoder.set(place); }
PyObject *read_string_reference(Decoder &decoder, uint64_t, Place) {
    return decoder.string_reference(decoder.cursor());
}
PyObject *read_shareable(Decoder &decoder, uint64_t, Place place) { return decoder.shareable(place); }
PyObject *read_shared_reference(Decoder &decoder, uint64_t, Place) {
    return decoder.shared_reference(decoder.cursor());
}
PyObject *read_string_namespace(Decoder &decoder, uint64_t, Place place) { return decoder.string_namespace(place); }

// In the order of their numbers.
const TagReader kReaders[] = {
    {0, 0, read_datetime_text},
    {1, 1, read_datetime_epoch},
    {2, 3, read_bignum},
    {4, 4, read_decimal_fraction},
    {5, 5, read_bigfloat},
    {25, 25, read_string_reference},
    {28, 28, read_shareable},
    {29, 29, read_shared_reference},
    {30, 30, read_rational},
    {35, 35, read_regex},
    {36, 36, read_mime},
    {37, 37, read_uuid},
    {40, 40, read_shaped_array},
    {52, 52, read_ip},
    {54, 54, read_ip},
    {64, 87, read_typed_array},
    {100, 100, read_date_days},
    {256, 256, read_string_namespace},
    {258, 258, read_set},
    {260, 260, read_network_address},
    {261, 261, read_network_prefix},
    {1004, 1004, read_date_text},
};

// The Encoder's types, in the order they are tried.
const TypeWrite kWriters[] = {write_datetime, write_decimal, write_uuid, write_ndarray, write_fraction,
                              write_ip, write_pattern, write_mime};
using TypeNote = std::string (*)(PyObject *obj);
const TypeNote kNotes[] = {ndarray_note, ip_note, pattern_note, message_note};
// Those of one module side by side: a module not imported is looked for once.
LazyType *const kLazyTypes[] = {&decimal_type, &uuid_type, &ndarray_type, &numpy_number_type, &numpy_bool_type,
                                &fraction_type, &ipv4_address_type, &ipv6_address_type, &ipv4_network_type,
                                &ipv6_network_type, &ipv4_interface_type, &ipv6_interface_type, &pattern_type,
                                &message_type, &enum_type};

}  // namespace

Leaf write_family_type(const WriteArgs &args, PyObject *obj) {
    for (TypeWrite write : kWriters) {
        Leaf leaf = write(args, obj);
        if (leaf != Leaf::kNotMine) return leaf;
    }
    return Leaf::kNotMine;
}

std::string family_note(PyObject *obj) {
    for (TypeNote note : kNotes) {
        std::string text = note(obj);
        if (!text.empty()) return text;
    }
    return "";
}

namespace {
Py_ssize_t modules_seen = -1;  // how many modules sys.modules held at the last look
}  // namespace

bool look_up_new_types() {
    return PyDict_GET_SIZE(PyImport_GetModuleDict()) != modules_seen && look_up_types();
}

bool look_up_types() {
    modules_seen = PyDict_GET_SIZE(PyImport_GetModuleDict());
    bool found = false;
    PyObject *absent = nullptr;  // a module not imported (interned): its other types are not looked for
    for (LazyType *type : kLazyTypes) {
        if (type->type || (absent && type->key == absent)) continue;
        int result = look_up(*type);
        found |= result > 0;
        if (result < 0) absent = type->key;
    }
    return found;
}

const TagReader *find_tag_reader(uint64_t number) {
    for (const TagReader &reader : kReaders) {
        if (number < reader.first) return nullptr;
        if (number <= reader.last) return &reader;
    }
    return nullptr;
}

}  // namespace vantra

namespace vantra {

PyObject *import_failed(Decoder &decoder, const unsigned char *at, uint64_t number, const char *module) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    Ref what(PyUnicode_FromFormat("tag %llu needs the %s module, which cannot be imported", (unsigned long long)number,
                                  module));
    if (!what) return nullptr;
    return decoder.fail_from_error(at, PyUnicode_AsUTF8(what.get()));
}

}  // namespace vantra
