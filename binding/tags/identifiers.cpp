// Identifiers: UUIDs (tag 37).
#include "tags.hpp"

namespace vantra {
namespace {

LazyImport uuid_class("uuid", "UUID");

// Tag 37 over the 16 bytes of its int.
int write_uuid_bytes(Sink *sink, PyObject *obj) {
    static PyObject *name_int = PyUnicode_InternFromString("int");
    py::object value = py::reinterpret_steal<py::object>(name_int ? PyObject_GetAttr(obj, name_int) : nullptr);
    if (!value) raise_python_error();
    if (!PyLong_Check(value.ptr())) refuse(CBOREncodeTypeError, "cannot encode a UUID whose int is of type " + type_name(value.ptr()));
    py::object shift = py::reinterpret_steal<py::object>(PyLong_FromLong(64));
    py::object high = py::reinterpret_steal<py::object>(shift ? PyNumber_Rshift(value.ptr(), shift.ptr()) : nullptr);
    if (!high) raise_python_error();
    unsigned long long low = PyLong_AsUnsignedLongLongMask(value.ptr());
    unsigned long long top = PyLong_AsUnsignedLongLong(high.ptr());
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_python_error();
        PyErr_Clear();
        refuse(CBOREncodeValueError, "cannot encode a UUID whose int is not from 0 to 2**128-1");
    }
    unsigned char bytes[16];
    cbor_inline::store64(bytes, top);
    cbor_inline::store64(bytes + 8, low);
    write_head(sink, kTagMajor, 37);
    write_text_copy(sink, kBytesMajor, bytes, sizeof bytes);
    return 0;
}


}  // namespace

Leaf write_uuid(const WriteArgs &args, PyObject *obj) {
    if (!is_instance(obj, uuid_type)) return Leaf::kNotMine;
    write_uuid_bytes(args.sink, obj);
    return Leaf::kWritten;
}

// Tag 37: the UUID's 16 bytes.
PyObject *read_uuid(Decoder &decoder, uint64_t number, Place) {
    const unsigned char *at = decoder.cursor();
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    if (!PyBytes_CheckExact(content.get()) || PyBytes_GET_SIZE(content.get()) != 16) {
        return decoder.fail(at, "tag 37 content is not 16 bytes of a UUID");
    }
    PyObject *uuid = uuid_class.get(decoder);
    if (!uuid) return import_failed(decoder, at, number, "uuid");
    Ref args(PyTuple_New(0)), kwargs(Py_BuildValue("{sO}", "bytes", content.get()));
    return args && kwargs ? PyObject_Call(uuid, args.get(), kwargs.get()) : nullptr;
}

}  // namespace vantra
