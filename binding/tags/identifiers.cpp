// Identifiers: UUIDs (tag 37).
#include "tags.hpp"

namespace vantra {
namespace {

LazyImport uuid_class("uuid", "UUID");

}  // namespace

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
