// The one table of tags with a built-in meaning: which family reads each, and
// writes its Python types.
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

using TypeNote = std::string (*)(PyObject *obj);

// One row a tag (or run of tags) with its reader. A family's writer, of its
// Python types for the Encoder, and its note, on why a value of one of them
// cannot be written, sit on the row of the family's first tag. In the order of
// the numbers: the decoder stops at the first row past a tag.
struct TagRow {
    TagReader reader;
    TypeWrite write;
    TypeNote note;
};
const TagRow kTags[] = {
    {{0, 0, read_datetime_text}, write_datetime, nullptr},
    {{1, 1, read_datetime_epoch}, nullptr, nullptr},
    {{2, 3, read_bignum}, nullptr, nullptr},  // ints past 64 bits: write_wide_int
    {{4, 4, read_decimal_fraction}, write_decimal, nullptr},
    {{5, 5, read_bigfloat}, nullptr, nullptr},
    {{25, 25, read_string_reference}, nullptr, nullptr},  // the Encoder's own, by option
    {{28, 28, read_shareable}, nullptr, nullptr},         // as 25
    {{29, 29, read_shared_reference}, nullptr, nullptr},
    {{30, 30, read_rational}, write_fraction, nullptr},
    {{35, 35, read_regex}, write_pattern, pattern_note},
    {{36, 36, read_mime}, write_mime, message_note},
    {{37, 37, read_uuid}, write_uuid, nullptr},
    {{40, 40, read_shaped_array}, nullptr, nullptr},
    {{52, 52, read_ip}, write_ip, ip_note},
    {{54, 54, read_ip}, nullptr, nullptr},
    {{64, 87, read_typed_array}, write_ndarray, ndarray_note},
    {{100, 100, read_date_days}, nullptr, nullptr},
    {{256, 256, read_string_namespace}, nullptr, nullptr},
    {{258, 258, read_set}, nullptr, nullptr},  // sets and frozensets: the Encoder's walk
    {{260, 260, read_network_address}, nullptr, nullptr},
    {{261, 261, read_network_prefix}, nullptr, nullptr},
    {{1004, 1004, read_date_text}, nullptr, nullptr},
};

// Those of one module side by side: a module not imported is looked for once.
LazyType *const kLazyTypes[] = {&decimal_type, &uuid_type, &ndarray_type, &numpy_number_type, &numpy_bool_type,
                                &fraction_type, &ipv4_address_type, &ipv6_address_type, &ipv4_network_type,
                                &ipv6_network_type, &ipv4_interface_type, &ipv6_interface_type, &pattern_type,
                                &message_type, &enum_type};

}  // namespace

Leaf write_family_type(const WriteArgs &args, PyObject *obj) {
    for (const TagRow &row : kTags) {
        if (!row.write) continue;
        Leaf leaf = row.write(args, obj);
        if (leaf != Leaf::kNotMine) return leaf;
    }
    return Leaf::kNotMine;
}

std::string family_note(PyObject *obj) {
    for (const TagRow &row : kTags) {
        if (!row.note) continue;
        std::string text = row.note(obj);
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
    for (const TagRow &row : kTags) {
        if (number < row.reader.first) return nullptr;
        if (number <= row.reader.last) return &row.reader;
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
