// The Encoder type: dumps' encoding, plus the types Python programs hold
// (datetimes, decimals, UUIDs, sets, big ints, byte buffers, NumPy arrays,
// Tag, Simple, undefined), a default hook, and deterministic output.
#include "python.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "encoder.hpp"
#include "entry.hpp"
#include "references.hpp"
#include "tags/tags.hpp"
#include "values.hpp"

namespace vantra {

template <bool Limited>
struct EncoderCall {
    CallOutput output;
    Sink *sink;  // output's, or a scratch output while keys are written apart
    uint64_t depth = 0;
    uint64_t max_depth;
    uint64_t error_text_limit = kErrorTextLimit;
    const EncoderSettings *settings;
    SharedWriter *shared = nullptr;  // with value sharing
    bool types_looked_up = false;

    EncoderCall(uint64_t max, const EncoderSettings *call_settings)
        : sink(output.get()), max_depth(max), settings(call_settings) {}
};

// ---- Types whose modules may never be imported ---------------------------------

LazyType decimal_type{"decimal", "Decimal", nullptr};
LazyType uuid_type{"uuid", "UUID", nullptr};
LazyType ndarray_type{"numpy", "ndarray", nullptr};
LazyType numpy_number_type{"numpy", "number", nullptr};
LazyType numpy_bool_type{"numpy", "bool_", nullptr};
LazyType enum_type{"enum", "Enum", nullptr};

void raise_python_error() { throw PythonErrorSet(); }

namespace {

constexpr unsigned char kUndefined = 0xf7;
constexpr int kTag = kTagMajor, kBytes = kBytesMajor, kText = kTextMajor;

PyObject *name_write, *name_dataclass_fields, *name_dataclasses;

}  // namespace

int look_up(LazyType &lazy) {
    if (lazy.type) return 0;
    if (!lazy.key && !(lazy.key = PyUnicode_InternFromString(lazy.module))) raise_python_error();  // kept
    // sys.modules itself: a lookup that misses costs one probe of it.
    py::object module = py::reinterpret_borrow<py::object>(PyDict_GetItemWithError(PyImport_GetModuleDict(), lazy.key));
    if (!module) {
        if (PyErr_Occurred()) raise_python_error();
        return -1;
    }
    PyObject *type = PyObject_GetAttrString(module.ptr(), lazy.name);
    if (!type) {
        // A module still being imported may lack it yet.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise_python_error();
        PyErr_Clear();
        return 0;
    }
    if (!PyType_Check(type)) {
        Py_DECREF(type);
        return 0;
    }
    lazy.type = reinterpret_cast<PyTypeObject *>(type);  // kept for the process
    return 1;
}

py::object attribute_of(PyObject *obj, const char *name) {
    py::object value = py::reinterpret_steal<py::object>(PyObject_GetAttrString(obj, name));
    if (!value) raise_python_error();
    return value;
}

// ---- Errors that name the value's place ---------------------------------------------

void refuse(PyObject *error_type, std::string what, std::string hint) {
    throw Unencodable{error_type, std::move(what), std::move(hint), {}};
}

std::string type_name(PyObject *obj) { return std::string("'") + Py_TYPE(obj)->tp_name + "'"; }

std::string utf8_of(PyObject *text) {
    Py_ssize_t size;
    const char *data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) raise_python_error();
    return std::string(data, (size_t)size);
}

namespace {

// A key as it would be written in a subscript: its repr, a str in double
// quotes when that needs no escape, long ones cut.
std::string key_text(PyObject *key) {
    py::object repr = py::reinterpret_steal<py::object>(PyObject_Repr(key));
    if (!repr) {
        // An ordinary failure only spoils the message; anything else (an
        // interrupt) is raised instead of it.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_python_error();
        PyErr_Clear();
        return "<key whose repr failed>";
    }
    constexpr Py_ssize_t kLimit = 40;
    if (PyUnicode_GET_LENGTH(repr.ptr()) > kLimit) {
        repr = py::reinterpret_steal<py::object>(PyUnicode_Substring(repr.ptr(), 0, kLimit - 3));
        if (!repr) raise_python_error();
        return utf8_of(repr.ptr()) + "...";
    }
    std::string text = utf8_of(repr.ptr());
    if (PyUnicode_Check(key) && text.size() >= 2 && text.front() == '\'' && text.back() == '\'' &&
        text.find('"') == std::string::npos && text.find('\\') == std::string::npos) {
        text.front() = text.back() = '"';
    }
    return text;
}

// "at value["a"][2]", "as a key of value[0]", "at key[1], a key of value".
std::string place(const std::vector<Unencodable::Step> &path) {
    std::string expr = "value", tail;
    bool bare = false;  // expr names a key or a set element itself
    for (auto step = path.rbegin(); step != path.rend(); ++step) {
        switch (step->kind) {
            case Unencodable::Step::kIndex:
                expr += "[" + std::to_string(step->index) + "]";
                break;
            case Unencodable::Step::kKey:
                expr += "[" + key_text(step->key.ptr()) + "]";
                break;
            case Unencodable::Step::kTagValue:
                expr += ".value";
                break;
            case Unencodable::Step::kKeyOf:
                tail = ", a key of " + expr + tail;
                expr = "key";
                break;
            case Unencodable::Step::kElementOf:
                tail = ", an element of " + expr + tail;
                expr = "element";
                break;
        }
        bare = step->kind == Unencodable::Step::kKeyOf || step->kind == Unencodable::Step::kElementOf;
    }
    return bare ? "as" + tail.substr(1) : "at " + expr + tail;
}

[[noreturn]] void raise_unencodable(const Unencodable &e) {
    std::string message = e.what + " " + place(e.path) + e.hint;
    PyErr_SetString(e.error_type, message.c_str());
    raise_python_error();
}

}  // namespace

// ---- Scalars of the Encoder's types ------------------------------------------------

int write_head(Sink *sink, int major_type, uint64_t argument) {
    return checked(cbor_inline::write_head(sink, major_type, argument));
}

int write_bytes_of(Sink *sink, PyObject *owner, const void *data, size_t size) {
    write_text_of(sink, kBytes, owner, static_cast<const char *>(data), size);
    return 0;
}

int write_float_value(Sink *sink, double value, bool shortest) {
    return checked(shortest ? cbor_inline::write_shortest_float(sink, value) : cbor_inline::write_float(sink, value));
}

// ---- Byte buffers ------------------------------------------------------------------

// The view holds obj's buffer, so that a bytearray cannot be resized, nor a
// memoryview released, while its bytes wait in the output.
py::object view_of(PyObject *obj) {
    py::object view = py::reinterpret_steal<py::object>(PyMemoryView_FromObject(obj));
    if (!view) raise_python_error();
    return view;
}

bool write_contiguous(Sink *sink, PyObject *view_object, bool keep) {
    Py_buffer *view = PyMemoryView_GET_BUFFER(view_object);
    if (!PyBuffer_IsContiguous(view, 'C')) return false;
    if (keep) {
        write_bytes_of(sink, view_object, view->buf, (size_t)view->len);
    } else {
        write_text_copy(sink, kBytes, view->buf, (size_t)view->len);
    }
    return true;
}

namespace {

// The Encoder's scalar types; kUnsupported for a kind it takes only in some
// forms (a non-contiguous memoryview, an array of another dtype). last: obj
// is the whole value.
Leaf write_leaf(Sink *sink, PyObject *obj, const EncoderSettings &settings, bool shortest, bool last) {
    if (obj == Undefined) {
        checked(cbor_inline::write_byte(sink, kUndefined));
        return Leaf::kWritten;
    }
    if (Py_TYPE(obj) == SimpleType) {
        write_head(sink, 7, reinterpret_cast<SimpleObject *>(obj)->value);
        return Leaf::kWritten;
    }
    if (PyByteArray_Check(obj)) {
        size_t size = (size_t)PyByteArray_GET_SIZE(obj);
        if (size < kSegmentFrom) {
            write_text_copy(sink, kBytes, PyByteArray_AS_STRING(obj), size);
        } else {
            write_contiguous(sink, view_of(obj).ptr(), true);  // held, a bytearray cannot be resized
        }
        return Leaf::kWritten;
    }
    if (PyMemoryView_Check(obj)) {
        // What it views may not refuse a resize (a NumPy array does not).
        return write_contiguous(sink, view_of(obj).ptr(), last) ? Leaf::kWritten : Leaf::kUnsupported;
    }
    return write_family_type(WriteArgs{sink, settings, shortest, last}, obj);
}

bool is_numpy_number(PyObject *obj) { return is_instance(obj, numpy_number_type) || is_instance(obj, numpy_bool_type); }

std::string unsupported_note(PyObject *obj) {
    if (PyMemoryView_Check(obj)) return " (not C-contiguous)";
    return family_note(obj);
}

// A dataclass instance's fields, in their order, as a dict of their names:
// null when obj is no dataclass instance.
py::object dataclass_fields(PyObject *obj) {
    if (!_PyType_Lookup(Py_TYPE(obj), name_dataclass_fields)) return py::object();
    py::object module = py::reinterpret_steal<py::object>(PyImport_GetModule(name_dataclasses));
    if (!module) {
        if (PyErr_Occurred()) raise_python_error();
        return py::object();  // no dataclass can have been made
    }
    py::object fields = py::reinterpret_steal<py::object>(PyObject_CallMethod(module.ptr(), "fields", "O", obj));
    if (!fields) raise_python_error();
    py::object sequence = py::reinterpret_steal<py::object>(PySequence_Fast(fields.ptr(), "fields() is a sequence"));
    py::object items = py::reinterpret_steal<py::object>(PyDict_New());
    if (!sequence || !items) raise_python_error();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence.ptr()); ++i) {
        py::object name = attribute_of(PySequence_Fast_GET_ITEM(sequence.ptr(), i), "name");
        py::object value = py::reinterpret_steal<py::object>(PyObject_GetAttr(obj, name.ptr()));
        if (!value || PyDict_SetItem(items.ptr(), name.ptr(), value.ptr()) < 0) raise_python_error();
    }
    return items;
}

// The scratch output that a deterministic map's keys (or a set's elements)
// are written to, apart, so that they can be sorted by their bytes.
class WrittenApart {
public:
    struct Span {
        size_t at, size;
        Py_ssize_t index;
    };
    template <typename Call>
    WrittenApart(Call &call) : sink_(call.sink), saved_(call.sink) {
        sink_ = scratch_.get();
    }
    ~WrittenApart() { sink_ = saved_; }
    WrittenApart(const WrittenApart &) = delete;
    WrittenApart &operator=(const WrittenApart &) = delete;

    size_t written() { return scratch_.get()->length + scratch_.get()->segment_bytes; }
    void add(size_t at, Py_ssize_t index) { spans_.push_back({at, written() - at, index}); }

    // Back to the call's output; the items' bytes in the bytewise order of
    // their encodings (a shorter one first when it is a prefix of another),
    // or length_first: shorter ones first, those of one length bytewise.
    // false when two are the same.
    bool sort(bool length_first) {
        sink_ = saved_;
        bytes_ = scratch_.finish();
        const unsigned char *data = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(bytes_.ptr()));
        auto less = [data, length_first](const Span &a, const Span &b) {
            if (length_first && a.size != b.size) return a.size < b.size;
            int order = std::memcmp(data + a.at, data + b.at, std::min(a.size, b.size));
            return order < 0 || (order == 0 && a.size < b.size);
        };
        std::sort(spans_.begin(), spans_.end(), less);
        for (size_t i = 1; i < spans_.size(); ++i) {
            if (!less(spans_[i - 1], spans_[i])) return false;
        }
        return true;
    }
    const std::vector<Span> &spans() const { return spans_; }
    const char *data(const Span &span) const { return PyBytes_AS_STRING(bytes_.ptr()) + span.at; }

private:
    Sink *&sink_;
    Sink *saved_;
    Output scratch_;
    std::vector<Span> spans_;
    py::bytes bytes_;
};

// While a map key or a set element is written (the writer's in_key()).
class KeyPlace {
public:
    explicit KeyPlace(SharedWriter *shared) : shared_(shared) {
        if (shared_) shared_->enter_key(1);
    }
    ~KeyPlace() {
        if (shared_) shared_->enter_key(-1);
    }
    KeyPlace(const KeyPlace &) = delete;
    KeyPlace &operator=(const KeyPlace &) = delete;

private:
    SharedWriter *shared_;
};

// The mark just given to a Tag or a set, which the decoder makes only once
// its content is read, while that content is written (and to what default is
// asked about, until what it returned takes the mark).
class Unready {
public:
    explicit Unready(SharedWriter *shared) : shared_(shared), index_(shared ? shared->last() : -1) {
        if (shared_) shared_->set_unready(index_, true);
    }
    ~Unready() {
        if (shared_) shared_->set_unready(index_, false);
    }
    Unready(const Unready &) = delete;
    Unready &operator=(const Unready &) = delete;

private:
    SharedWriter *shared_;
    int64_t index_;
};

// The string table of a tag 256 written inside the value, in place of the
// outer one until its content is written.
class InnerNamespace {
public:
    InnerNamespace(Sink *sink, StringWriter *inner) : sink_(sink), outer_(sink->strings) { sink->strings = inner; }
    ~InnerNamespace() { sink_->strings = outer_; }
    InnerNamespace(const InnerNamespace &) = delete;
    InnerNamespace &operator=(const InnerNamespace &) = delete;

private:
    Sink *sink_;
    StringWriter *outer_;
};

// Runs write(); an Unencodable leaving it first learns from where() where it was met.
template <typename Write, typename Where>
auto located(Write &&write, Where &&where) {
    try {
        return write();
    } catch (Unencodable &e) {
        where(e);
        throw;
    }
}

}  // namespace

// ---- The Encoder's handlers --------------------------------------------------------

int write_str_or_refuse(Sink *sink, PyObject *obj) {
    if (write_str_direct(sink, obj)) return 0;
    Py_ssize_t size;
    const char *utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!utf8) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) raise_python_error();
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        py::object reason = py::reinterpret_steal<py::object>(value ? PyObject_Str(value) : nullptr);
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        if (!reason) raise_python_error();
        refuse(CBOREncodeValueError, "cannot encode a str that UTF-8 cannot hold", ": " + utf8_of(reason.ptr()));
    }
    write_text_of(sink, kText, obj, utf8, (size_t)size);
    return 0;
}

template <bool Indefinite, bool Limited, Mode M>
int Encode<Indefinite, Limited, M>::write_other(PyObject *obj) const {
    constexpr bool shortest = M == Mode::Deterministic;
    PyTypeObject *type = Py_TYPE(obj);
    if (type == TagType) {
        if (written_before(obj)) return 0;
        Unready unready(encoder.shared);
        TagObject *tag = reinterpret_cast<TagObject *>(obj);
        write_head(out(), kTag, tag->tag);
        NestingGuard guard(stack);
        py::object value = py::reinterpret_borrow<py::object>(tag->value);
        if (tag->tag == kStringNamespace && out()->strings) {
            // A namespace of its own, begun empty; the outer one goes on after it.
            StringWriter inner;
            InnerNamespace enter(out(), &inner);
            located([&] { element(value.ptr()); }, [](Unencodable &e) { e.in_tag(); });
            return 0;
        }
        located([&] { element(value.ptr()); }, [](Unencodable &e) { e.in_tag(); });
        return 0;
    }
    if (PyAnySet_Check(obj)) {
        if (written_before(obj)) return 0;
        Unready unready(encoder.shared);
        // A snapshot: elements' hooks may change the set, not what is written.
        py::object items = py::reinterpret_steal<py::object>(PySequence_List(obj));
        if (!items) raise_python_error();
        NestingGuard guard(stack);
        write_head(out(), kTag, 258);
        Py_ssize_t count = PyList_GET_SIZE(items.ptr());
        auto in_set = [](Unencodable &e) { e.in_set(); };
        if constexpr (M == Mode::Deterministic) {
            WrittenApart apart(encoder);
            KeyPlace place(encoder.shared);
            for (Py_ssize_t i = 0; i < count; ++i) {
                size_t at = apart.written();
                located([&] { element(PyList_GET_ITEM(items.ptr(), i)); }, in_set);
                apart.add(at, i);
            }
            if (!apart.sort(encoder.settings->length_first)) refuse(CBOREncodeValueError, "cannot write deterministically a set with two elements written alike");
            head(kArray, count);
            for (const auto &span : apart.spans()) checked(cbor_inline::append(out(), apart.data(span), span.size));
            return 0;
        }
        head(kArray, count);
        KeyPlace place(encoder.shared);
        for (Py_ssize_t i = 0; i < count; ++i) located([&] { element(PyList_GET_ITEM(items.ptr(), i)); }, in_set);
        return close();
    }
    // Subclasses of dumps' types (NumPy's float64 among them) first: no type
    // of the Encoder's own derives from them.
    constexpr unsigned long kDumpsSubclasses = Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS |
                                               Py_TPFLAGS_TUPLE_SUBCLASS | Py_TPFLAGS_BYTES_SUBCLASS |
                                               Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS;
    if (PyType_HasFeature(type, kDumpsSubclasses) || PyFloat_Check(obj)) {
        DumpValue value;
        if (classify_general(obj, true, value)) return std::visit(*this, value);
    }
    if (!encoder.types_looked_up) {
        encoder.types_looked_up = true;
        look_up_new_types();  // the objects of types not found are looked for again below
    }
    // Numbers by their type, NumPy's written as dumps writes them: an
    // __index__, __int__ or __float__ makes no other object one. NumPy's own
    // scalar types (named "numpy.float32" and so on) are taken before the
    // writers are tried, their subclasses after.
    const char *name = type->tp_name;
    bool number = name[0] == 'n' && std::strncmp(name, "numpy.", 6) == 0 && is_numpy_number(obj);
    Leaf leaf = Leaf::kNotMine;
    if (!number) {
        // Nothing written yet, and not apart: obj is the whole value, the last thing written.
        bool last = encoder.sink == encoder.output.get() && encoder.sink->length == 0;
        // Shared by identity when one of the Encoder's own types takes it (the
        // mark is taken back when none does).
        size_t mark = out()->length;
        bool marked = encoder.shared && obj != Undefined && type != SimpleType;
        if (marked && written_before(obj)) return 0;
        leaf = write_leaf(out(), obj, *encoder.settings, shortest, last);
        if (leaf == Leaf::kWritten) return 0;
        if (marked) {
            out()->length = mark;
            encoder.shared->forget_last();
        }
        number = leaf == Leaf::kNotMine && is_numpy_number(obj);
    }
    if (number) {
        DumpValue value;
        if (classify_general(obj, true, value)) return std::visit(*this, value);
        if (PyErr_Occurred()) raise_python_error();
    } else if (leaf == Leaf::kNotMine) {
        if (is_instance(obj, enum_type)) {
            NestingGuard guard(stack);  // a member whose value leads back to it ends here
            py::object value = attribute_of(obj, "value");
            return write_object(value.ptr());
        }
        // A dataclass instance is shared by its own identity, not its map's.
        if (py::object fields = dataclass_fields(obj)) return write_dict_located(fields.ptr(), obj);
        // A hook may have imported a module whose type this is.
        if (look_up_types()) return write_other(obj);
    }
    if (PyObject *hook = encoder.settings->default_hook) {
        if (written_before(obj)) return 0;
        if (encoder.shared) encoder.shared->stand_in(out()->length);
        Unready unready(encoder.shared);
        NestingGuard guard(stack);  // a hook that keeps returning what it is given ends here
        py::object result = py::reinterpret_steal<py::object>(PyObject_CallFunctionObjArgs(hook, obj, nullptr));
        if (!result) raise_python_error();
        return write_object(result.ptr());
    }
    refuse(CBOREncodeTypeError, "cannot encode object of type " + type_name(obj) +
                                (leaf == Leaf::kUnsupported ? unsupported_note(obj) : ""));
}

template <bool Indefinite, bool Limited, Mode M>
bool Encode<Indefinite, Limited, M>::written_before(PyObject *obj) const {
    SharedWriter *shared = encoder.shared;
    if (!shared) return false;
    int64_t index = shared->find_or_add(obj, out()->length);
    if (index < 0) {
        if (index == -1) write_head(out(), kTag, kShareable);
        return false;
    }
    if (shared->unready(index)) {
        refuse(CBOREncodeValueError, "cannot encode a reference to a " + type_name(obj) + " from inside its own content",
               ": a decoder makes it only once its content is read");
    }
    write_head(out(), kTag, kSharedRef);
    checked(cbor_inline::write_uint(out(), (uint64_t)index));
    return true;
}

// dumps' container loops, each knowing where it is when an Unencodable
// passes: its catch costs nothing until one does.
template <bool Indefinite, bool Limited, Mode M>
int Encode<Indefinite, Limited, M>::write_list_located(PyObject *list) const {
    if (written_before(list)) return 0;
    Unready unready(encoder.shared && encoder.shared->in_key() ? encoder.shared : nullptr);
    NestingGuard guard(stack);
    Py_ssize_t count = PyList_GET_SIZE(list), i = 0;
    head(kArray, count);
    try {
        for (i = float_run(reinterpret_cast<PyListObject *>(list)->ob_item, 0, count); i < count; ++i) {
            if (leaf(PyList_GET_ITEM(list, i))) continue;
            py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(list, i));
            element<true>(item.ptr());
            if (PyList_GET_SIZE(list) != count) raise_changed("list changed size during iteration");
        }
    } catch (Unencodable &e) {
        e.at_index(i);
        throw;
    }
    return close();
}

template <bool Indefinite, bool Limited, Mode M>
int Encode<Indefinite, Limited, M>::write_tuple_located(PyObject *tuple) const {
    if (written_before(tuple)) return 0;
    Unready unready(encoder.shared && encoder.shared->in_key() ? encoder.shared : nullptr);
    NestingGuard guard(stack);
    Py_ssize_t count = PyTuple_GET_SIZE(tuple), i = 0;
    head(kArray, count);
    try {
        for (i = float_run(reinterpret_cast<PyTupleObject *>(tuple)->ob_item, 0, count); i < count; ++i) {
            element(PyTuple_GET_ITEM(tuple, i));
        }
    } catch (Unencodable &e) {
        e.at_index(i);
        throw;
    }
    return close();
}

// Keys sorted by the bytes of their encodings when deterministic. The items
// are taken first, in one step: hooks run while keys are written may change
// the dict, not what is written.
template <bool Indefinite, bool Limited, Mode M>
int Encode<Indefinite, Limited, M>::write_dict_located(PyObject *dict, PyObject *identity) const {
    if constexpr (M == Mode::Extended) {
        if (written_before(identity ? identity : dict)) return 0;
        NestingGuard guard(stack);
        Py_ssize_t count = PyDict_GET_SIZE(dict), pos = 0, written = 0;
        PyObject *k = nullptr, *v;
        // k stays alive until a catch: the dict holds it while no Python code
        // has run, key once it has. The places are added by catches, which
        // cost nothing while nothing is thrown.
        py::object key, value;
        auto in_key = [](Unencodable &e) { e.in_key(); };
        auto at_key = [&k](Unencodable &e) { e.at_key(k); };
        head(kMap, count);
        while (PyDict_Next(dict, &pos, &k, &v)) {
            if (written++ == count) raise_changed("dictionary keys changed during iteration");
            bool key_written = located([&] { return leaf(k); }, in_key);
            if (key_written && located([&] { return leaf(v); }, at_key)) continue;
            key = py::reinterpret_borrow<py::object>(k);
            value = py::reinterpret_borrow<py::object>(v);
            if (!key_written) {
                KeyPlace place(encoder.shared);
                located([&] { element<true>(key.ptr()); }, in_key);
            }
            located([&] { if (key_written || !leaf(value.ptr())) element<true>(value.ptr()); }, at_key);
            if (PyDict_GET_SIZE(dict) != count) raise_changed("dictionary changed size during iteration");
        }
        if (written != count) raise_changed("dictionary keys changed during iteration");
        return close();
    }
    NestingGuard guard(stack);
    py::object items = py::reinterpret_steal<py::object>(PyDict_Items(dict));
    if (!items) raise_python_error();
    Py_ssize_t count = PyList_GET_SIZE(items.ptr());
    auto item = [&](Py_ssize_t i, int part) { return PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), i), part); };
    WrittenApart apart(encoder);
    for (Py_ssize_t i = 0; i < count; ++i) {
        size_t at = apart.written();
        KeyPlace place(encoder.shared);
        located([&] { element(item(i, 0)); }, [](Unencodable &e) { e.in_key(); });
        apart.add(at, i);
    }
    if (!apart.sort(encoder.settings->length_first)) refuse(CBOREncodeValueError, "cannot write deterministically a map with two keys written alike");
    head(kMap, count);
    for (const auto &span : apart.spans()) {
        checked(cbor_inline::append(out(), apart.data(span), span.size));
        PyObject *key = item(span.index, 0);
        located([&] { element(item(span.index, 1)); }, [key](Unencodable &e) { e.at_key(key); });
    }
    return 0;
}

// ---- The Python type ---------------------------------------------------------------

namespace {

struct EncoderObject {
    PyObject_HEAD
    EncoderSettings settings;  // owns default_hook
    bool indefinite;
    bool deterministic;
    unsigned long long max_depth;
};

EncoderObject *as_encoder(PyObject *self) { return reinterpret_cast<EncoderObject *>(self); }

template <bool Indefinite, bool Limited, Mode M>
PyObject *encode_in(const EncoderObject *self, PyObject *value) {
    EncoderCall<Limited> call(self->max_depth, &self->settings);
    std::unique_ptr<SharedWriter> shared(self->settings.value_sharing ? new SharedWriter() : nullptr);
    std::unique_ptr<StringWriter> strings(self->settings.string_referencing ? new StringWriter() : nullptr);
    call.shared = shared.get();
    if (strings) {
        call.sink->strings = strings.get();
        write_head(call.sink, kTag, kStringNamespace);  // one namespace around the whole value
    }
    try {
        Encode<Indefinite, Limited, M>{call}.write_object(value);
    } catch (const Unencodable &e) {
        raise_unencodable(e);
    }
    return call.output.finish().release().ptr();
}

PyObject *encode_value(const EncoderObject *self, PyObject *value) {
    return guarded([&] {
        bool limited = self->max_depth != 0;
        if (self->deterministic) {
            return limited ? encode_in<false, true, Mode::Deterministic>(self, value)
                           : encode_in<false, false, Mode::Deterministic>(self, value);
        }
        if (self->indefinite) {
            return limited ? encode_in<true, true, Mode::Extended>(self, value)
                           : encode_in<true, false, Mode::Extended>(self, value);
        }
        return limited ? encode_in<false, true, Mode::Extended>(self, value)
                       : encode_in<false, false, Mode::Extended>(self, value);
    });
}

// Its arguments counted here, not by the interpreter (METH_O), whose TypeError
// would not be the Encoder's class; in the interpreter's words, which name the
// class too from 3.10 on.
#if PY_VERSION_HEX >= 0x030A0000
#define VANTRA_ENCODE_NAME "Encoder.encode()"
#else
#define VANTRA_ENCODE_NAME "encode()"
#endif
PyObject *encoder_encode(PyObject *self, PyObject *const *args, Py_ssize_t count, PyObject *keywords) {
    if (count == 1 && !keywords) return encode_value(as_encoder(self), args[0]);
    if (keywords && PyTuple_GET_SIZE(keywords) > 0) {
        return PyErr_Format(CBOREncodeTypeError, VANTRA_ENCODE_NAME " takes no keyword arguments");
    }
    if (count == 1) return encode_value(as_encoder(self), args[0]);
    return PyErr_Format(CBOREncodeTypeError, VANTRA_ENCODE_NAME " takes exactly one argument (%zd given)", count);
}
#undef VANTRA_ENCODE_NAME

// The argument parser's own TypeError, as the Encoder's class for it.
void arguments_refused() {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(CBOREncodeTypeError)) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        PyObject *text = value ? PyObject_Str(value) : nullptr;
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        if (text) {
            PyErr_SetObject(CBOREncodeTypeError, text);
            Py_DECREF(text);
        }
    }
}

PyObject *encoder_dump(PyObject *self, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"value", "fp", nullptr};
    PyObject *value, *fp;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:dump", const_cast<char **>(names), &value, &fp)) {
        arguments_refused();
        return nullptr;
    }
    PyObject *data = encode_value(as_encoder(self), value);
    if (!data) return nullptr;
    PyObject *written = PyObject_CallMethodObjArgs(fp, name_write, data, nullptr);
    Py_DECREF(data);
    if (!written) return nullptr;
    Py_DECREF(written);
    Py_RETURN_NONE;
}

// ---- Options, checked once -------------------------------------------------------------

bool flag_option(PyObject *given, const char *name, bool &out) {
    if (!given) return true;
    if (!PyBool_Check(given)) {
        PyErr_Format(CBOREncodeTypeError, "%s must be True or False, not %.200s", name, Py_TYPE(given)->tp_name);
        return false;
    }
    out = given == Py_True;
    return true;
}

bool depth_option(PyObject *given, unsigned long long &out) {
    if (!given) return true;
    if (!PyIndex_Check(given)) {
        PyErr_Format(CBOREncodeTypeError, "max_depth must be an int, not %.200s", Py_TYPE(given)->tp_name);
        return false;
    }
    py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(given));
    if (!index) return false;
    out = PyLong_AsUnsignedLongLong(index.ptr());
    if (out == (unsigned long long)-1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        PyErr_Format(CBOREncodeValueError, "max_depth must be from 0 (no limit) to 2**64-1, not %R", index.ptr());
        return false;
    }
    return true;
}

bool deterministic_option(PyObject *given, bool &on, bool &length_first) {
    if (!given) return true;
    if (PyBool_Check(given)) return on = given == Py_True, true;
    if (PyUnicode_Check(given) && PyUnicode_CompareWithASCIIString(given, "length-first") == 0) {
        return on = length_first = true, true;
    }
    if (PyUnicode_Check(given)) {
        PyErr_Format(CBOREncodeValueError, "deterministic must be True, False or 'length-first', not %R", given);
    } else {
        PyErr_Format(CBOREncodeTypeError, "deterministic must be True, False or 'length-first', not %.200s",
                     Py_TYPE(given)->tp_name);
    }
    return false;
}

bool datetime_option(PyObject *given, bool &epoch) {
    if (!given) return true;
    if (PyUnicode_Check(given)) {
        if (PyUnicode_CompareWithASCIIString(given, "text") == 0) return epoch = false, true;
        if (PyUnicode_CompareWithASCIIString(given, "epoch") == 0) return epoch = true, true;
        PyErr_Format(CBOREncodeValueError, "datetime_as must be 'text' or 'epoch', not %R", given);
        return false;
    }
    PyErr_Format(CBOREncodeTypeError, "datetime_as must be 'text' or 'epoch', not %.200s", Py_TYPE(given)->tp_name);
    return false;
}

PyObject *encoder_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static const char *names[] = {"indefinite", "deterministic", "default", "datetime_as", "max_depth",
                                  "value_sharing", "string_referencing", "timezone", nullptr};
    PyObject *indefinite = nullptr, *deterministic = nullptr, *hook = nullptr, *datetime_as = nullptr,
             *max_depth = nullptr, *value_sharing = nullptr, *string_referencing = nullptr, *timezone = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOOOOOOO:Encoder", const_cast<char **>(names), &indefinite,
                                     &deterministic, &hook, &datetime_as, &max_depth, &value_sharing,
                                     &string_referencing, &timezone)) {
        arguments_refused();
        return nullptr;
    }
    EncoderSettings settings{};
    bool is_indefinite = false, is_deterministic = false;
    unsigned long long depth = 0;
    if (!flag_option(indefinite, "indefinite", is_indefinite) ||
        !deterministic_option(deterministic, is_deterministic, settings.length_first) ||
        !datetime_option(datetime_as, settings.epoch) || !depth_option(max_depth, depth) ||
        !flag_option(value_sharing, "value_sharing", settings.value_sharing) ||
        !flag_option(string_referencing, "string_referencing", settings.string_referencing)) {
        return nullptr;
    }
    if (timezone && timezone != Py_None) {
        if (!check_timezone_option(timezone)) return nullptr;
        settings.timezone = timezone;
    }
    if (hook && hook != Py_None) {
        if (!PyCallable_Check(hook)) {
            return PyErr_Format(CBOREncodeTypeError, "default must be callable or None, not %.200s", Py_TYPE(hook)->tp_name);
        }
        settings.default_hook = hook;
    }
    if (is_indefinite && is_deterministic) {
        PyErr_Format(CBOREncodeValueError, "deterministic=%s writes definite lengths only: indefinite must be False with it",
                     settings.length_first ? "'length-first'" : "True");
        return nullptr;
    }
    if (is_deterministic && (settings.value_sharing || settings.string_referencing)) {
        PyErr_Format(CBOREncodeValueError,
                     "deterministic=%s cannot be used with value_sharing or string_referencing: their "
                     "references follow the order items are written in, which sorting the keys changes",
                     settings.length_first ? "'length-first'" : "True");
        return nullptr;
    }
    EncoderObject *self = reinterpret_cast<EncoderObject *>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Py_XINCREF(settings.default_hook);
    Py_XINCREF(settings.timezone);
    self->settings = settings;
    self->indefinite = is_indefinite;
    self->deterministic = is_deterministic;
    self->max_depth = depth;
    return reinterpret_cast<PyObject *>(self);
}

int encoder_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(as_encoder(self)->settings.default_hook);
    Py_VISIT(as_encoder(self)->settings.timezone);
#if PY_VERSION_HEX >= 0x03090000
    Py_VISIT(Py_TYPE(self));
#endif
    return 0;
}

int encoder_clear(PyObject *self) {
    Py_CLEAR(as_encoder(self)->settings.default_hook);
    Py_CLEAR(as_encoder(self)->settings.timezone);
    return 0;
}

void encoder_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    encoder_clear(self);
    type->tp_free(self);
#if PY_VERSION_HEX >= 0x03080000
    Py_DECREF(type);
#endif
}

PyObject *get_indefinite(PyObject *self, void *) { return PyBool_FromLong(as_encoder(self)->indefinite); }
PyObject *get_deterministic(PyObject *self, void *) {
    if (as_encoder(self)->settings.length_first) return PyUnicode_FromString("length-first");
    return PyBool_FromLong(as_encoder(self)->deterministic);
}
PyObject *get_default(PyObject *self, void *) {
    PyObject *hook = as_encoder(self)->settings.default_hook;
    hook = hook ? hook : Py_None;
    Py_INCREF(hook);
    return hook;
}
PyObject *get_datetime_as(PyObject *self, void *) {
    return PyUnicode_FromString(as_encoder(self)->settings.epoch ? "epoch" : "text");
}
PyObject *get_timezone(PyObject *self, void *) {
    PyObject *timezone = as_encoder(self)->settings.timezone;
    timezone = timezone ? timezone : Py_None;
    Py_INCREF(timezone);
    return timezone;
}
PyObject *get_max_depth(PyObject *self, void *) { return PyLong_FromUnsignedLongLong(as_encoder(self)->max_depth); }
PyObject *get_value_sharing(PyObject *self, void *) { return PyBool_FromLong(as_encoder(self)->settings.value_sharing); }
PyObject *get_string_referencing(PyObject *self, void *) {
    return PyBool_FromLong(as_encoder(self)->settings.string_referencing);
}

PyObject *encoder_repr(PyObject *self) {
    EncoderObject *e = as_encoder(self);
    py::object hook = py::reinterpret_steal<py::object>(get_default(self, nullptr));
    py::object deterministic = py::reinterpret_steal<py::object>(get_deterministic(self, nullptr));
    py::object timezone = py::reinterpret_steal<py::object>(get_timezone(self, nullptr));
    if (!deterministic) return nullptr;
    return PyUnicode_FromFormat("Encoder(indefinite=%s, deterministic=%R, default=%R, datetime_as='%s', max_depth=%llu, "
                                "value_sharing=%s, string_referencing=%s, timezone=%R)",
                                e->indefinite ? "True" : "False", deterministic.ptr(), hook.ptr(),
                                e->settings.epoch ? "epoch" : "text", e->max_depth,
                                e->settings.value_sharing ? "True" : "False",
                                e->settings.string_referencing ? "True" : "False", timezone.ptr());
}

PyGetSetDef encoder_getset[] = {
    {const_cast<char *>("indefinite"), get_indefinite, nullptr,
     const_cast<char *>("Arrays, maps and sets with indefinite-length heads, closed by a break."), nullptr},
    {const_cast<char *>("deterministic"), get_deterministic, nullptr,
     const_cast<char *>("Core deterministic encoding (RFC 8949 section 4.2.1): True, False, or 'length-first' "
                        "(map keys ordered as RFC 8949 section 4.2.3 orders them)."),
     nullptr},
    {const_cast<char *>("default"), get_default, nullptr,
     const_cast<char *>("Called with each object of a type the Encoder does not write; None for none."), nullptr},
    {const_cast<char *>("datetime_as"), get_datetime_as, nullptr,
     const_cast<char *>("'text' (tag 0, RFC 3339) or 'epoch' (tag 1, seconds since 1970)."), nullptr},
    {const_cast<char *>("timezone"), get_timezone, nullptr,
     const_cast<char *>("The tzinfo given to naive datetimes; None refuses them."), nullptr},
    {const_cast<char *>("max_depth"), get_max_depth, nullptr,
     const_cast<char *>("Deepest nesting of elements allowed; 0 for no limit."), nullptr},
    {const_cast<char *>("value_sharing"), get_value_sharing, nullptr,
     const_cast<char *>("Objects written once (tag 28) and referred to after (tag 29): shared and cyclic values."),
     nullptr},
    {const_cast<char *>("string_referencing"), get_string_referencing, nullptr,
     const_cast<char *>("Repeated strings written as references (tag 25) inside one namespace (tag 256)."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef encoder_methods[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_encode)), METH_FASTCALL | METH_KEYWORDS,
     "encode($self, value, /)\n--\n\n"
     "Return the CBOR encoding of value as bytes.\n\n"
     "Raises TypeError, naming the type and its place in value (value[\"a\"][2]), for an\n"
     "object that no rule takes and that there is no default for; ValueError for a\n"
     "naive datetime without a timezone option."},
    {"dump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encoder_dump)), METH_VARARGS | METH_KEYWORDS,
     "dump($self, /, value, fp)\n--\n\n"
     "Write the CBOR encoding of value to fp, a binary file (fp.write(encode(value)))."},
    {nullptr, nullptr, 0, nullptr},
};

const char encoder_doc[] =
    "Encoder(*, indefinite=False, deterministic=False, default=None, datetime_as='text', max_depth=0,\n"
    "        value_sharing=False, string_referencing=False, timezone=None)\n--\n\n"
    "Encodes Python objects to CBOR with options checked once, here.\n\n"
    "Everything dumps takes is written as dumps writes it (with the same indefinite and\n"
    "max_depth), except numbers: only int, float and bool (and their subclasses) and\n"
    "NumPy's numbers are written as numbers; an object is not one for having __index__,\n"
    "__int__ or __float__. Besides: ints of any size (tags 2 and 3 past 64 bits),\n"
    "timezone-aware datetime (tag 0, or tag 1 with datetime_as='epoch'), date (tag 1004),\n"
    "Decimal (tag 4), Fraction (tag 30), UUID (tag 37), ipaddress addresses, networks and\n"
    "interfaces (tags 52 and 54), re.Pattern whose flags are in its text (tag 35),\n"
    "email.message.Message (tag 36), set and frozenset (tag 258), bytearray and contiguous\n"
    "memoryview (byte strings), Tag, Simple and undefined, NumPy arrays of integers and\n"
    "floats (RFC 8746 typed arrays; tag 40 for more than one dimension), dataclass\n"
    "instances (maps of their fields, in field order) and Enum members (their value).\n\n"
    "indefinite: arrays, maps and sets with indefinite-length heads.\n"
    "deterministic: RFC 8949 core deterministic encoding: definite lengths, map keys\n"
    "  sorted by their encodings, floats at their shortest exact width; 'length-first'\n"
    "  sorts keys as RFC 8949 section 4.2.3 does: shorter encodings first.\n"
    "default: called with any other object; what it returns is written in its place.\n"
    "datetime_as: 'text' or 'epoch'.\n"
    "max_depth: deepest nesting of elements allowed (0: no limit).\n"
    "value_sharing: every container (and every other object written by identity)\n"
    "  written once, under tag 28, and referred to by tag 29 after: shared and\n"
    "  cyclic structures come back shared and cyclic.\n"
    "string_referencing: the value inside a tag 256 namespace, each repeated text or\n"
    "  byte string written as a tag 25 reference to its first occurrence.\n"
    "timezone: a tzinfo given to naive datetimes (None: they are refused).";

PyType_Slot encoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(encoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(encoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(encoder_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(encoder_repr)},
    {Py_tp_getset, encoder_getset},
    {Py_tp_methods, encoder_methods},
    {Py_tp_doc, const_cast<char *>(encoder_doc)},
    {0, nullptr},
};
PyType_Spec encoder_spec = {"vantra_cbor.Encoder", sizeof(EncoderObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                            encoder_slots};

}  // namespace

bool add_encoder_type(PyObject *module) {
    struct {
        PyObject **name;
        const char *text;
    } names[] = {{&name_write, "write"}, {&name_dataclass_fields, "__dataclass_fields__"}, {&name_dataclasses, "dataclasses"}};
    for (auto &entry : names) {
        if (!(*entry.name = PyUnicode_InternFromString(entry.text))) return false;
    }
    PyObject *type = PyType_FromSpec(&encoder_spec);
    if (!type) return false;
    if (PyModule_AddObject(module, "Encoder", type) < 0) {
        Py_DECREF(type);
        return false;
    }
    return true;
}

}  // namespace vantra
