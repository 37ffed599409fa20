// diag, from_diag and the command line's helpers: argument checks and errors
// around the codec's cbor_diag, cbor_from_diag, cbor_item_size and cbor_check.
#include "diag.hpp"

#include <cstdlib>

#include "cbor.h"
#include "decoder.hpp"
#include "values.hpp"

namespace vantra {
namespace {

PyObject *DiagDecodeError;  // a CBORError and a ValueError, with JSONDecodeError's attributes

// Inputs this large are worked on with the interpreter's lock released.
const size_t kReleaseLock = 1 << 16;

// A codec output buffer, freed on every way out.
struct Output {
    cbor_generator g{};
    ~Output() { std::free(g.data); }
};

PyObject *no_memory_or(int status) { return status == -2 ? PyErr_NoMemory() : nullptr; }

// CBORDecodeError("<what> at byte N") with pos = N; CBORDecodeEOF when the
// input ends inside an item.
PyObject *decode_error(const cbor_fault &fault, uint64_t base = 0) {
    PyObject *type = fault.found == 2 ? CBORDecodeEOF : CBORDecodeError;
    unsigned long long pos = base + fault.offset;
    PyObject *error = nullptr, *where = nullptr;
    PyObject *message = PyUnicode_FromFormat("%s at byte %llu", fault.message, pos);
    if (message) error = PyObject_CallFunctionObjArgs(type, message, nullptr);
    if (error) where = PyLong_FromUnsignedLongLong(pos);
    if (where && PyObject_SetAttrString(error, "pos", where) == 0) PyErr_SetObject(type, error);
    Py_XDECREF(where);
    Py_XDECREF(error);
    Py_XDECREF(message);
    return nullptr;
}

// DiagDecodeError("<what>: line L column C (char P)") with msg, doc, pos,
// lineno and colno, as json.JSONDecodeError has them.
PyObject *diag_error(const cbor_fault &fault, PyObject *doc) {
    PyObject *error = PyObject_CallFunction(DiagDecodeError, "s", "");
    if (!error) return nullptr;
    PyObject *args = PyUnicode_FromFormat("%s: line %llu column %llu (char %llu)", fault.message,
                                          (unsigned long long)fault.line, (unsigned long long)fault.column,
                                          (unsigned long long)fault.position);
    PyObject *tuple = args ? PyTuple_Pack(1, args) : nullptr;
    bool ok = tuple && PyObject_SetAttrString(error, "args", tuple) == 0;
    struct {
        const char *name;
        PyObject *value;
    } attributes[] = {{"msg", PyUnicode_FromString(fault.message)},
                      {"doc", (Py_INCREF(doc), doc)},
                      {"pos", PyLong_FromUnsignedLongLong(fault.position)},
                      {"lineno", PyLong_FromUnsignedLongLong(fault.line)},
                      {"colno", PyLong_FromUnsignedLongLong(fault.column)}};
    for (auto &a : attributes) {
        ok = ok && a.value && PyObject_SetAttrString(error, a.name, a.value) == 0;
        Py_XDECREF(a.value);
    }
    if (ok) PyErr_SetObject(DiagDecodeError, error);
    Py_XDECREF(tuple);
    Py_XDECREF(args);
    Py_DECREF(error);
    return nullptr;
}

PyObject *diag(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"data", "indent", "sequence", nullptr};
    Py_buffer view;
    PyObject *data_arg, *indent_arg = Py_None;
    int sequence = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$Op:diag", const_cast<char **>(keywords), &data_arg,
                                     &indent_arg, &sequence) ||
        !contiguous_buffer("diag", data_arg, &view)) {
        return nullptr;
    }
    long indent = -1;
    if (indent_arg != Py_None) {
        if (!PyLong_Check(indent_arg) || PyBool_Check(indent_arg)) {
            PyBuffer_Release(&view);
            return PyErr_Format(PyExc_TypeError, "indent must be an int or None, not %.200s",
                                Py_TYPE(indent_arg)->tp_name);
        }
        indent = PyLong_AsLong(indent_arg);
        if (indent < 0 || indent > 32) {
            PyErr_Clear();
            PyBuffer_Release(&view);
            return PyErr_Format(PyExc_ValueError, "indent must be from 0 to 32 or None, not %R", indent_arg);
        }
    }
    Output out;
    cbor_fault fault{};
    const unsigned char *data = static_cast<const unsigned char *>(view.buf);
    size_t size = (size_t)view.len;
    int status;
    if (size >= kReleaseLock) {
        Py_BEGIN_ALLOW_THREADS status = cbor_diag(&out.g, data, size, (int)indent, sequence, &fault);
        Py_END_ALLOW_THREADS
    } else {
        status = cbor_diag(&out.g, data, size, (int)indent, sequence, &fault);
    }
    PyBuffer_Release(&view);
    if (status == -1) return decode_error(fault);
    if (status < 0) return no_memory_or(status);
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(out.g.data), (Py_ssize_t)out.g.length, "strict");
}

PyObject *from_diag(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *keywords[] = {"text", "sequence", nullptr};
    PyObject *text;
    int sequence = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|$p:from_diag", const_cast<char **>(keywords), &text,
                                     &sequence)) {
        return nullptr;
    }
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return nullptr;
    Output out;
    cbor_fault fault{};
    int status;
    if ((size_t)size >= kReleaseLock) {
        Py_BEGIN_ALLOW_THREADS status = cbor_from_diag(&out.g, utf8, (size_t)size, sequence, &fault);
        Py_END_ALLOW_THREADS
    } else {
        status = cbor_from_diag(&out.g, utf8, (size_t)size, sequence, &fault);
    }
    if (status == -1) return diag_error(fault, text);
    if (status < 0) return no_memory_or(status);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(out.g.data), (Py_ssize_t)out.g.length);
}

// _item_end(data, start): the offset just past the well-formed item at start.
PyObject *item_end(PyObject *, PyObject *args) {
    Py_buffer view;
    Py_ssize_t start;
    if (!PyArg_ParseTuple(args, "y*n:_item_end", &view, &start)) return nullptr;
    if (start < 0 || start > view.len) {
        PyBuffer_Release(&view);
        return PyErr_Format(PyExc_ValueError, "start must be from 0 to %zd", view.len);
    }
    cbor_fault fault{};
    uint64_t size = 0;
    int status = cbor_item_size(static_cast<const unsigned char *>(view.buf) + start, (size_t)(view.len - start), &size,
                                &fault);
    PyBuffer_Release(&view);
    if (status == -1) return decode_error(fault, (uint64_t)start);
    if (status < 0) return no_memory_or(status);
    return PyLong_FromUnsignedLongLong((unsigned long long)start + size);
}

// _check(data, sequence): for well-formedness, validity and determinism
// with bytewise and with length-first key order, None or (offset, rule).
PyObject *check(PyObject *, PyObject *args) {
    Py_buffer view;
    int sequence;
    if (!PyArg_ParseTuple(args, "y*p:_check", &view, &sequence)) return nullptr;
    cbor_fault faults[4];
    int status;
    if ((size_t)view.len >= kReleaseLock) {
        Py_BEGIN_ALLOW_THREADS status = cbor_check(static_cast<const unsigned char *>(view.buf), (size_t)view.len,
                                                   sequence, faults);
        Py_END_ALLOW_THREADS
    } else {
        status = cbor_check(static_cast<const unsigned char *>(view.buf), (size_t)view.len, sequence, faults);
    }
    PyBuffer_Release(&view);
    if (status == -2) return PyErr_NoMemory();
    // The entries first, the tuple from them: a collection while an entry is
    // made must find no tuple with an empty slot.
    PyObject *entries[4];
    for (int i = 0; i < 4; ++i) {
        entries[i] = faults[i].found ? Py_BuildValue("(Ks)", (unsigned long long)faults[i].offset, faults[i].message)
                                     : (Py_INCREF(Py_None), Py_None);
        if (!entries[i]) {
            while (i--) Py_DECREF(entries[i]);
            return nullptr;
        }
    }
    PyObject *result = PyTuple_Pack(4, entries[0], entries[1], entries[2], entries[3]);
    for (PyObject *entry : entries) Py_DECREF(entry);
    return result;
}

const char diag_doc[] =
    "diag(data, *, indent=None, sequence=False)\n--\n\n"
    "The diagnostic notation (RFC 8949 section 8) of the CBOR item in data, read from\n"
    "the bytes as written: an encoding indicator (_0 to _3 for argument widths, _ for\n"
    "indefinite lengths, _1 to _3 for float widths) marks every item not in preferred\n"
    "form, so that from_diag(diag(data)) == data. Byte strings as h'..', text with\n"
    "JSON's escapes (bytes that are not UTF-8 as \\udc80 to \\udcff), tag 24 byte\n"
    "strings holding one well-formed item as <<...>>, bignums as integers, NaNs\n"
    "other than the plain quiet one as float'<bits in hex>'.\n\n"
    "sequence=True reads an RFC 8742 sequence of items (none or more), written one\n"
    "after another, separated by commas. indent=N (0 to 32) puts the members of\n"
    "arrays, maps and indefinite-length strings on lines of their own, N spaces a\n"
    "level (up to 128 columns). Malformed input raises CBORDecodeError with pos, the\n"
    "byte at fault (CBORDecodeEOF, also an EOFError, when the input ends inside an item).";

const char from_diag_doc[] =
    "from_diag(text, *, sequence=False)\n--\n\n"
    "The CBOR bytes that the diagnostic notation in text describes: RFC 8949 section 8\n"
    "with encoding indicators, and RFC 8610 appendix G's additions: integers of any\n"
    "size in decimal, hex (0x), octal (0o) or binary (0b); floats, NaN, Infinity;\n"
    "'bytes', \"text\", h'..', b64'..', b32'..', h32'..' (spaces and comments inside),\n"
    "concatenated strings, <<...>>, [_ ], {_ }, (_ ...), tags n(...), simple(n), true,\n"
    "false, null, undefined, / comments / and # comments. Without indicators items\n"
    "take their preferred form. sequence=True reads items separated by commas.\n"
    "Bad text raises DiagDecodeError (a CBORError and a ValueError) with msg, doc, pos, lineno and\n"
    "colno, as json.JSONDecodeError has them.";

PyMethodDef diag_methods[] = {
    {"diag", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(diag)), METH_VARARGS | METH_KEYWORDS,
     diag_doc},
    {"from_diag", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_diag)), METH_VARARGS | METH_KEYWORDS,
     from_diag_doc},
    {"_item_end", item_end, METH_VARARGS, nullptr},
    {"_check", check, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_diag(PyObject *module) {
    PyObject *bases = PyTuple_Pack(2, CBORError, PyExc_ValueError);
    if (!bases) return false;
    DiagDecodeError = PyErr_NewExceptionWithDoc(
        "vantra_cbor.DiagDecodeError",
        "Raised by from_diag for text it cannot read: msg, and where, as json.JSONDecodeError says it "
        "(doc, pos, lineno, colno).",
        bases, nullptr);
    Py_DECREF(bases);
    if (!DiagDecodeError || PyModule_AddObject(module, "DiagDecodeError", DiagDecodeError) < 0) return false;
    Py_INCREF(DiagDecodeError);
    return PyModule_AddFunctions(module, diag_methods) == 0;
}

}  // namespace vantra
