// Tag, Simple, undefined and CBORDecodeError: small immutable types made from
// type descriptions at import, so that every supported interpreter builds them alike.
#include "python.hpp"

#include <structmember.h>

#include "values.hpp"

namespace vantra {

PyTypeObject *TagType;
PyTypeObject *SimpleType;
PyObject *Undefined;
PyObject *CBORError;
PyObject *CBORDecodeError;
PyObject *CBORDecodeEOF;
PyObject *CBOREncodeError;
PyObject *CBOREncodeTypeError;
PyObject *CBOREncodeValueError;

namespace {

PyTypeObject *UndefinedType;

// Instances of heap types hold a reference to their type from 3.8 on.
void release_type(PyTypeObject *type) {
#if PY_VERSION_HEX >= 0x03080000
    Py_DECREF(type);
#else
    (void)type;
#endif
}

PyObject *compare_result(bool equal, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    if (equal == (op == Py_EQ)) Py_RETURN_TRUE;
    Py_RETURN_FALSE;
}

// ---- Tag --------------------------------------------------------------------

PyObject *tag_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"tag", "value", nullptr};
    PyObject *number, *value;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Tag", const_cast<char **>(names), &number, &value)) {
        return nullptr;
    }
    if (!PyLong_Check(number)) {
        return PyErr_Format(PyExc_TypeError, "tag must be an int, not %.200s", Py_TYPE(number)->tp_name);
    }
    unsigned long long tag = PyLong_AsUnsignedLongLong(number);
    if (tag == (unsigned long long)-1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return nullptr;
        PyErr_Clear();
        return PyErr_Format(PyExc_ValueError, "tag must be from 0 to 2**64-1, not %R", number);
    }
    return make_tag(tag, value);
}

// A long chain of tags is freed through the interpreter's trashcan, as its
// own containers are, so freeing it does not recurse once a level (from 3.14
// on the interpreter does this for every collected type: the macros are empty).
void tag_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
#if PY_VERSION_HEX >= 0x03080000
    Py_TRASHCAN_BEGIN(self, tag_dealloc)
#else
    Py_TRASHCAN_SAFE_BEGIN(self)
#endif
    Py_CLEAR(reinterpret_cast<TagObject *>(self)->value);
    type->tp_free(self);
    release_type(type);
#if PY_VERSION_HEX >= 0x03080000
    Py_TRASHCAN_END
#else
    Py_TRASHCAN_SAFE_END(self)
#endif
}

int tag_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(reinterpret_cast<TagObject *>(self)->value);
#if PY_VERSION_HEX >= 0x03090000
    Py_VISIT(Py_TYPE(self));
#endif
    return 0;
}

int tag_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<TagObject *>(self)->value);
    return 0;
}

PyObject *tag_number(PyObject *self, void *) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<TagObject *>(self)->tag);
}

PyObject *tag_repr(PyObject *self) {
    TagObject *t = reinterpret_cast<TagObject *>(self);
    int busy = Py_ReprEnter(self);
    if (busy != 0) return busy > 0 ? PyUnicode_FromFormat("Tag(%llu, ...)", (unsigned long long)t->tag) : nullptr;
    PyObject *text = PyUnicode_FromFormat("Tag(%llu, %R)", (unsigned long long)t->tag, t->value);
    Py_ReprLeave(self);
    return text;
}

// As a tuple of the two would hash.
Py_hash_t tag_hash(PyObject *self) {
    TagObject *t = reinterpret_cast<TagObject *>(self);
    Py_hash_t h = PyObject_Hash(t->value);
    if (h == -1) return -1;
    Py_uhash_t x = (Py_uhash_t)h ^ ((Py_uhash_t)t->tag * 1000003u) ^ 0x5bd1e995u;
    return x == (Py_uhash_t)-1 ? -2 : (Py_hash_t)x;
}

PyObject *tag_richcompare(PyObject *self, PyObject *other, int op) {
    if (Py_TYPE(other) != TagType || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
    TagObject *a = reinterpret_cast<TagObject *>(self), *b = reinterpret_cast<TagObject *>(other);
    if (a->tag != b->tag) return compare_result(false, op);
    return PyObject_RichCompare(a->value, b->value, op);
}

PyObject *tag_reduce(PyObject *self, PyObject *) {
    TagObject *t = reinterpret_cast<TagObject *>(self);
    return Py_BuildValue("O(KO)", (PyObject *)Py_TYPE(self), (unsigned long long)t->tag, t->value);
}

PyMemberDef tag_members[] = {
    {const_cast<char *>("value"), T_OBJECT_EX, offsetof(TagObject, value), READONLY,
     const_cast<char *>("The tagged content.")},
    {nullptr, 0, 0, 0, nullptr},
};
PyGetSetDef tag_getset[] = {
    {const_cast<char *>("tag"), tag_number, nullptr, const_cast<char *>("The tag number."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyMethodDef tag_methods[] = {
    {"__reduce__", tag_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char tag_doc[] =
    "Tag(tag, value)\n--\n\n"
    "A CBOR tag without a built-in meaning: the tag number (0 to 2**64-1) and its content.\n"
    "Equal, and hashed alike, when both are.";

PyType_Slot tag_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(tag_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(tag_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(tag_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(tag_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(tag_repr)},
    {Py_tp_hash, reinterpret_cast<void *>(tag_hash)},
    {Py_tp_richcompare, reinterpret_cast<void *>(tag_richcompare)},
    {Py_tp_members, tag_members},
    {Py_tp_getset, tag_getset},
    {Py_tp_methods, tag_methods},
    {Py_tp_doc, const_cast<char *>(tag_doc)},
    {0, nullptr},
};
PyType_Spec tag_spec = {"vantra_cbor.Tag", sizeof(TagObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                        tag_slots};

// ---- Simple -------------------------------------------------------------------

PyObject *simple_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"value", nullptr};
    PyObject *number;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Simple", const_cast<char **>(names), &number)) return nullptr;
    if (!PyLong_Check(number)) {
        return PyErr_Format(PyExc_TypeError, "simple value must be an int, not %.200s", Py_TYPE(number)->tp_name);
    }
    int overflow;
    long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (overflow || value < 0 || !is_simple_value((unsigned long long)value)) {
        return PyErr_Format(PyExc_ValueError,
                            "simple value must be from 0 to 19 or from 32 to 255 (20-23 are False, True, None "
                            "and undefined), not %R", number);
    }
    return make_simple((unsigned char)value);
}

void plain_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    release_type(type);
}

PyObject *simple_repr(PyObject *self) {
    return PyUnicode_FromFormat("Simple(%d)", (int)reinterpret_cast<SimpleObject *>(self)->value);
}

Py_hash_t simple_hash(PyObject *self) { return (Py_hash_t)reinterpret_cast<SimpleObject *>(self)->value + 0x5e1f; }

PyObject *simple_richcompare(PyObject *self, PyObject *other, int op) {
    if (Py_TYPE(other) != SimpleType) Py_RETURN_NOTIMPLEMENTED;
    return compare_result(reinterpret_cast<SimpleObject *>(self)->value ==
                              reinterpret_cast<SimpleObject *>(other)->value, op);
}

PyObject *simple_reduce(PyObject *self, PyObject *) {
    return Py_BuildValue("O(i)", (PyObject *)Py_TYPE(self), (int)reinterpret_cast<SimpleObject *>(self)->value);
}

PyMemberDef simple_members[] = {
    {const_cast<char *>("value"), T_UBYTE, offsetof(SimpleObject, value), READONLY,
     const_cast<char *>("The simple value's number.")},
    {nullptr, 0, 0, 0, nullptr},
};
PyMethodDef simple_methods[] = {
    {"__reduce__", simple_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const char simple_doc[] =
    "Simple(value)\n--\n\n"
    "A CBOR simple value that Python has no value for: 0 to 19 or 32 to 255.";

PyType_Slot simple_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(simple_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(plain_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(simple_repr)},
    {Py_tp_hash, reinterpret_cast<void *>(simple_hash)},
    {Py_tp_richcompare, reinterpret_cast<void *>(simple_richcompare)},
    {Py_tp_members, simple_members},
    {Py_tp_methods, simple_methods},
    {Py_tp_doc, const_cast<char *>(simple_doc)},
    {0, nullptr},
};
PyType_Spec simple_spec = {"vantra_cbor.Simple", sizeof(SimpleObject), 0, Py_TPFLAGS_DEFAULT, simple_slots};

// ---- undefined -------------------------------------------------------------------

PyObject *undefined_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    if (PyTuple_GET_SIZE(args) || (kwargs && PyDict_GET_SIZE(kwargs))) {
        PyErr_SetString(PyExc_TypeError, "UndefinedType takes no arguments");
        return nullptr;
    }
    Py_INCREF(Undefined);
    return Undefined;
}

PyObject *undefined_repr(PyObject *) { return PyUnicode_FromString("undefined"); }
int undefined_bool(PyObject *) { return 0; }
// Pickled by name: it comes back as the same object.
PyObject *undefined_reduce(PyObject *, PyObject *) { return PyUnicode_FromString("undefined"); }

PyMethodDef undefined_methods[] = {
    {"__reduce__", undefined_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot undefined_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(undefined_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(plain_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(undefined_repr)},
    {Py_nb_bool, reinterpret_cast<void *>(undefined_bool)},
    {Py_tp_methods, undefined_methods},
    {Py_tp_doc, const_cast<char *>("The type of undefined, CBOR's simple value 23 (false in a test).")},
    {0, nullptr},
};
PyType_Spec undefined_spec = {"vantra_cbor.UndefinedType", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                              undefined_slots};

PyTypeObject *make_type(PyType_Spec *recipe) { return reinterpret_cast<PyTypeObject *>(PyType_FromSpec(recipe)); }

}  // namespace

PyObject *make_tag(uint64_t tag, PyObject *value) {
    TagObject *t = reinterpret_cast<TagObject *>(TagType->tp_alloc(TagType, 0));
    if (!t) return nullptr;
    t->tag = tag;
    Py_INCREF(value);
    t->value = value;
    return reinterpret_cast<PyObject *>(t);
}

PyObject *make_simple(unsigned char value) {
    SimpleObject *s = reinterpret_cast<SimpleObject *>(SimpleType->tp_alloc(SimpleType, 0));
    if (s) s->value = value;
    return reinterpret_cast<PyObject *>(s);
}

// An exception class deriving from base (and from also, when given).
static PyObject *error_class(const char *name, const char *doc, PyObject *base, PyObject *also = nullptr) {
    PyObject *bases = also ? PyTuple_Pack(2, base, also) : nullptr;
    if (also && !bases) return nullptr;
    PyObject *type = PyErr_NewExceptionWithDoc(name, doc, also ? bases : base, nullptr);
    Py_XDECREF(bases);
    return type;
}

bool add_value_types(PyObject *module) {
    CBORError = error_class("vantra_cbor.CBORError", "The base of every error vantra_cbor raises about CBOR.",
                            PyExc_Exception);
    CBORDecodeError = CBORError ? error_class(
        "vantra_cbor.CBORDecodeError",
        "Raised for malformed CBOR input; the message says what was wrong and at which byte (also in pos).",
        CBORError, PyExc_ValueError) : nullptr;
    CBORDecodeEOF = CBORDecodeError ? error_class(
        "vantra_cbor.CBORDecodeEOF",
        "Raised when the input ends inside an item (or before one): more bytes may complete it.",
        CBORDecodeError, PyExc_EOFError) : nullptr;
    CBOREncodeError = CBORError ? error_class("vantra_cbor.CBOREncodeError",
                                              "Raised by the Encoder for a value or an option it cannot take.",
                                              CBORError) : nullptr;
    CBOREncodeTypeError = CBOREncodeError ? error_class(
        "vantra_cbor.CBOREncodeTypeError", "An object of a type the Encoder cannot write, or an option of the wrong type.",
        CBOREncodeError, PyExc_TypeError) : nullptr;
    CBOREncodeValueError = CBOREncodeError ? error_class(
        "vantra_cbor.CBOREncodeValueError", "A value the Encoder cannot write, or an option out of range.",
        CBOREncodeError, PyExc_ValueError) : nullptr;
    if (!CBOREncodeTypeError || !CBOREncodeValueError || !CBORDecodeEOF) return false;
    TagType = make_type(&tag_spec);
    SimpleType = make_type(&simple_spec);
    UndefinedType = make_type(&undefined_spec);
    if (!TagType || !SimpleType || !UndefinedType) return false;
    Undefined = UndefinedType->tp_alloc(UndefinedType, 0);
    if (!Undefined) return false;
    // The module keeps a reference of its own to each; these globals borrow theirs.
    struct {
        const char *name;
        PyObject *object;
    } names[] = {{"CBORError", CBORError},
                 {"CBORDecodeError", CBORDecodeError},
                 {"CBORDecodeEOF", CBORDecodeEOF},
                 {"CBOREncodeError", CBOREncodeError},
                 {"CBOREncodeTypeError", CBOREncodeTypeError},
                 {"CBOREncodeValueError", CBOREncodeValueError},
                 {"Tag", reinterpret_cast<PyObject *>(TagType)},
                 {"Simple", reinterpret_cast<PyObject *>(SimpleType)},
                 {"UndefinedType", reinterpret_cast<PyObject *>(UndefinedType)},
                 {"undefined", Undefined}};
    for (auto &entry : names) {
        if (PyModule_AddObject(module, entry.name, entry.object) < 0) return false;
        Py_INCREF(entry.object);
    }
    return true;
}

}  // namespace vantra
