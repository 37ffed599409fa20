// RFC 8746 typed arrays (tags 64-87) and multi-dimensional arrays (tag 40),
// as NumPy arrays.
#include "tags.hpp"

#include <string>

namespace vantra {
namespace {

LazyImport numpy_dtype("numpy", "dtype");
LazyImport numpy_frombuffer("numpy", "frombuffer");
LazyImport numpy_ndarray("numpy", "ndarray");

// The NumPy dtype of typed-array tag 64-87 (borrowed), or null: with an
// error set when it failed, with none when NumPy cannot be imported or the
// element type has none (binary128, and the reserved 76). An import that
// failed is tried again on the next call that needs it.
PyObject *typed_array_dtype(Decoder &decoder, uint64_t tag) {
    static const char *const kTypes[24] = {
        "u1", ">u2", ">u4", ">u8", "u1", "<u2", "<u4", "<u8",  // 64-71: unsigned (68 clamped)
        "i1", ">i2", ">i4", ">i8", nullptr, "<i2", "<i4", "<i8",  // 72-79: signed
        ">f2", ">f4", ">f8", nullptr, "<f2", "<f4", "<f8", nullptr,  // 80-87: floats
    };
    static PyObject *dtypes[24];
    size_t i = (size_t)(tag - 64);
    if (!kTypes[i] || dtypes[i]) return dtypes[i];
    PyObject *dtype = numpy_dtype.get(decoder);
    if (!dtype) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) PyErr_Clear();
        return nullptr;
    }
    dtypes[i] = PyObject_CallFunction(dtype, "s", kTypes[i]);  // kept for the process
    return dtypes[i];
}

// ---- Writing -------------------------------------------------------------------------

// The typed-array tag for a dtype's array-interface text ("<f8", "|u1"), or
// 0 when it has none: tag 64 + 16 float + 8 signed + 4 little endian + log2
// of the width (for floats, less one).
unsigned typed_array_tag(const std::string &typestr) {
    if (typestr.size() != 3) return 0;
    char order = typestr[0], kind = typestr[1];
    int width = typestr[2] - '0';
    int ll = width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : width == 8 ? 3 : -1;
    if (ll < 0 || (order != '<' && order != '>' && order != '|')) return 0;
    unsigned little = order == '<' ? 4 : 0;
    if (kind == 'u') return 64 + (width == 1 ? 0 : little) + (unsigned)ll;
    if (kind == 'i') return 72 + (width == 1 ? 0 : little) + (unsigned)ll;
    if (kind == 'f' && width >= 2) return 80 + little + (unsigned)ll - 1;
    return 0;
}

std::string dtype_text(PyObject *array) {
    static PyObject *name_dtype = PyUnicode_InternFromString("dtype");
    static PyObject *name_str = PyUnicode_InternFromString("str");
    if (!name_dtype || !name_str) raise_python_error();
    py::object dtype = py::reinterpret_steal<py::object>(PyObject_GetAttr(array, name_dtype));
    if (!dtype) raise_python_error();
    py::object text = py::reinterpret_steal<py::object>(PyObject_GetAttr(dtype.ptr(), name_str));
    if (!text) raise_python_error();
    if (!PyUnicode_Check(text.ptr())) return "";
    return utf8_of(text.ptr());
}

// An RFC 8746 typed array over the raw data, in tag 40 [shape, typed array]
// unless it has one dimension; a non-contiguous array as its C-ordered copy.
// Its data is kept for the result (not copied now) only when keep says no
// Python code runs before the result is made: resize(refcheck=False) frees
// an array's data whatever views of it exist.
bool write_typed_array(Sink *sink, PyObject *array, bool keep) {
    unsigned tag = typed_array_tag(dtype_text(array));
    if (!tag) return false;
    py::object view_object = view_of(array);
    Py_buffer *view = PyMemoryView_GET_BUFFER(view_object.ptr());
    if (view->ndim != 1) {
        write_head(sink, kTagMajor, 40);
        checked(cbor_inline::write_counted_head(sink, kArray, 2));
        checked(cbor_inline::write_counted_head(sink, kArray, (size_t)view->ndim));
        for (int d = 0; d < view->ndim; ++d) checked(cbor_inline::write_uint(sink, (uint64_t)view->shape[d]));
    }
    write_head(sink, kTagMajor, tag);
    if (write_contiguous(sink, view_object.ptr(), keep)) return true;
    size_t size = (size_t)view->len;
    if (sink->strings) {  // a string like any other, for the string references
        py::object copy = py::reinterpret_steal<py::object>(PyBytes_FromStringAndSize(nullptr, view->len));
        if (!copy || PyBuffer_ToContiguous(PyBytes_AS_STRING(copy.ptr()), view, view->len, 'C') < 0) raise_python_error();
        write_bytes_of(sink, copy.ptr(), PyBytes_AS_STRING(copy.ptr()), size);
        return true;
    }
    write_head(sink, kBytesMajor, size);
    unsigned char *to = cbor_inline::reserve(sink, size);
    if (!to) raise_no_memory();
    if (PyBuffer_ToContiguous(to, view, view->len, 'C') < 0) raise_python_error();
    sink->length += size;
    return true;
}


}  // namespace

// Subclasses may mean more than their data (a mask, a unit): not taken as arrays.
Leaf write_ndarray(const WriteArgs &args, PyObject *obj) {
    if (ndarray_type.type && Py_TYPE(obj) == ndarray_type.type) {
        return write_typed_array(args.sink, obj, args.last) ? Leaf::kWritten : Leaf::kUnsupported;
    }
    return is_instance(obj, ndarray_type) ? Leaf::kUnsupported : Leaf::kNotMine;
}

std::string ndarray_note(PyObject *obj) {
    if (ndarray_type.type && Py_TYPE(obj) == ndarray_type.type) {
        return " (dtype " + dtype_text(obj) + ": typed arrays hold integers of 8 to 64 bits and float16/32/64)";
    }
    if (is_instance(obj, ndarray_type)) return " (a subclass of numpy.ndarray: numpy.asarray() gives its data)";
    return "";
}

// ---- Reading -------------------------------------------------------------------------

// A NumPy array copied once from the input, of the tag's element type and
// byte order; a Tag when NumPy cannot be imported.
PyObject *read_typed_array(Decoder &decoder, uint64_t number, Place place) {
    const unsigned char *at = decoder.cursor();
    PyObject *dtype = typed_array_dtype(decoder, number);
    if (!dtype) return PyErr_Occurred() ? nullptr : decoder.plain_tag(number, place);
    // A byte string, or an item that reads as one (a string reference).
    Ref raw(at != decoder.end() && *at >> 5 == 2 ? decoder.byte_string_view() : decoder.item(Place::kValue));
    if (!raw) return nullptr;
    if (!PyBytes_CheckExact(raw.get()) && !PyMemoryView_Check(raw.get())) {
        return decoder.fail(at, "tag %llu content is not a byte string", (unsigned long long)number);
    }
    PyObject *frombuffer = numpy_frombuffer.get(decoder);
    if (!frombuffer) return import_failed(decoder, at, number, "numpy");
    Ref view(PyObject_CallFunctionObjArgs(frombuffer, raw.get(), dtype, nullptr));
    if (!view) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
        return decoder.fail_from_error(at, "typed array content is not a whole number of elements");
    }
    return PyObject_CallMethod(view.get(), "copy", nullptr);  // writable, and its own
}

// Tag 40: [dimensions, typed array], the array in that shape (row-major). The
// dimensions are unsigned integers whose product is the number of elements.
// Elements that are not a typed array leave it a Tag.
PyObject *read_shaped_array(Decoder &decoder, uint64_t number, Place) {
    const unsigned char *at = decoder.cursor();
    Ref content(decoder.item(Place::kValue));
    if (!content) return nullptr;
    PyObject *c = content.get();
    if (!PyList_CheckExact(c) || PyList_GET_SIZE(c) != 2) {
        return decoder.fail(at, "tag 40 content is not [dimensions, array]");
    }
    PyObject *dims = PyList_GET_ITEM(c, 0), *elements = PyList_GET_ITEM(c, 1);
    if (!PyList_CheckExact(dims)) return decoder.fail(at, "tag 40 dimensions are not an array of unsigned integers");
    Ref shape(PyList_AsTuple(dims));
    if (!shape) return nullptr;
    unsigned long long count = 1;
    bool overflow = false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(shape.get()); ++i) {
        PyObject *dim = PyTuple_GET_ITEM(shape.get(), i);
        unsigned long long n = PyLong_CheckExact(dim) ? PyLong_AsUnsignedLongLong(dim) : (unsigned long long)-1;
        if (n == (unsigned long long)-1) {
            PyErr_Clear();
            return decoder.fail(at, "tag 40 dimensions are not an array of unsigned integers");
        }
        overflow |= n != 0 && count > ULLONG_MAX / n;
        count *= n;
    }
    PyObject *ndarray = numpy_ndarray.get(decoder);
    if (!ndarray) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
        PyErr_Clear();
    }
    if (!ndarray || !PyObject_TypeCheck(elements, reinterpret_cast<PyTypeObject *>(ndarray))) {
        return decoder.tagged(number, c);
    }
    Ref size(PyObject_GetAttrString(elements, "size"));
    if (!size) return nullptr;
    unsigned long long have = PyLong_AsUnsignedLongLong(size.get());
    if (have == (unsigned long long)-1 && PyErr_Occurred()) return nullptr;
    if (overflow || count != have) return decoder.fail(at, "tag 40 dimensions do not match its elements");
    static PyObject *reshape = PyUnicode_InternFromString("reshape");
    return reshape ? PyObject_CallMethodObjArgs(elements, reshape, shape.get(), nullptr) : nullptr;
}

}  // namespace vantra
