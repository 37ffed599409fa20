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
    {25, 25, read_string_reference},
    {28, 28, read_shareable},
    {29, 29, read_shared_reference},
    {37, 37, read_uuid},
    {40, 40, read_shaped_array},
    {64, 87, read_typed_array},
    {100, 100, read_date_days},
    {256, 256, read_string_namespace},
    {258, 258, read_set},
    {1004, 1004, read_date_text},
};

// The Encoder's types, in the order they are tried.
const TypeWrite kWriters[] = {write_datetime, write_decimal, write_uuid, write_ndarray};
LazyType *const kLazyTypes[] = {&decimal_type, &uuid_type, &ndarray_type};

}  // namespace

Leaf write_family_type(const WriteArgs &args, PyObject *obj) {
    for (TypeWrite write : kWriters) {
        Leaf leaf = write(args, obj);
        if (leaf != Leaf::kNotMine) return leaf;
    }
    return Leaf::kNotMine;
}

bool look_up_types() {
    bool found = false;
    for (LazyType *type : kLazyTypes) found |= look_up(*type);
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
