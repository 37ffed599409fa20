// Value sharing (tags 28 and 29) and string references (tags 25 and 256):
// reading them, and the state the Encoder keeps to write them.
#include "references.hpp"

#include "decode.hpp"

#include <cstring>

namespace vantra {

// ---- Decoding ----------------------------------------------------------------------

SharedValues::~SharedValues() {
    for (PyObject *value : values_) Py_XDECREF(value);
}

void SharedValues::set(size_t index, PyObject *value) {
    Py_INCREF(value);
    Py_XSETREF(values_[index], value);
}

StringTables::~StringTables() {
    while (inside()) leave();
}

void StringTables::leave() {
    for (PyObject *string : tables_.back()) Py_DECREF(string);
    tables_.pop_back();
}

bool StringTables::note(PyObject *string, size_t size) {
    std::vector<PyObject *> &table = tables_.back();
    if (size < reference_size(table.size())) return true;
    try {
        table.push_back(string);
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
        return false;
    }
    Py_INCREF(string);
    return true;
}

PyObject *StringTables::at(uint64_t index) const {
    const std::vector<PyObject *> &table = tables_.back();
    return index < table.size() ? table[(size_t)index] : nullptr;
}

// Tag 28: the item gets the next index before its content is read. An array
// or a map read as a value is made first, empty, and filled after, so that
// its content can refer to it; anything else gets its object once read.
PyObject *Decoder::shareable(Place place) {
    if (!shared_) shared_.reset(new SharedValues());
    size_t index = shared_->mark();
    const unsigned char *at = in_.cursor;
    unsigned major = at == end_ ? 0 : *at >> 5;
    PyObject *value;
    if (place == Place::kValue && (major == 4 || major == 5)) {
        Ref container(major == 4 ? PyList_New(0) : PyDict_New());
        if (!container) return nullptr;
        shared_->set(index, container.get());
        value = major == 4 ? fill_list(container.get()) : fill_map(container.get());
    } else {
        value = item(place);
    }
    if (value) shared_->set(index, value);
    return value;
}

// Tag 29: an object marked before, the same object.
PyObject *Decoder::shared_reference(const unsigned char *at) {
    Ref content(item(Place::kValue));
    if (!content) return nullptr;
    uint64_t index = PyLong_CheckExact(content.get()) ? PyLong_AsUnsignedLongLong(content.get()) : (uint64_t)-1;
    if (index == (uint64_t)-1) {
        PyErr_Clear();
        return fail(at, "tag 29 content is not an unsigned integer");
    }
    if (!shared_ || index >= shared_->size()) {
        return fail(at, "tag 29 refers to shared value %llu, past the %zu marked so far", (unsigned long long)index,
                    shared_ ? shared_->size() : 0);
    }
    PyObject *value = shared_->at((size_t)index);
    if (!value) {
        return fail(at, "tag 29 refers to shared value %llu, which is still being read and cannot hold a reference "
                        "yet (a map key, a set element, a tuple or a tag's content)", (unsigned long long)index);
    }
    Py_INCREF(value);
    return value;
}

// Tag 256: a namespace of its own for the strings inside it.
PyObject *Decoder::string_namespace(Place place) {
    if (!strings_) strings_.reset(new StringTables());
    strings_->enter();
    ++namespaces_;
    PyObject *value = item(place);
    --namespaces_;
    strings_->leave();
    return value;
}

// Tag 25: a string of the innermost namespace, by index.
PyObject *Decoder::string_reference(const unsigned char *at) {
    uint64_t index;
    if (at == end_ || *at >> 5 != 0) {
        Ref content(item(Place::kValue));
        return content ? fail(at, "tag 25 content is not an unsigned integer") : nullptr;
    }
    if (!argument(at, index)) return nullptr;
    if (!strings_ || !strings_->inside()) return fail(at, "tag 25 outside any string namespace (tag 256)");
    PyObject *string = strings_->at(index);
    if (!string) return fail(at, "tag 25 refers to string %llu, past the strings of its namespace", (unsigned long long)index);
    Py_INCREF(string);
    return string;
}

bool Decoder::note_string(PyObject *string, size_t size) { return strings_->note(string, size); }

// ---- Encoding ----------------------------------------------------------------------

namespace {

// The table's storage, kept from one call to the next (up to 1.5 MiB), as the
// output buffer is: a call that marks thousands of objects would otherwise
// take fresh pages from the system each time, and its page faults cost more
// than the marking. The interpreter lock guards it; a call that finds it
// taken (a nested one, or another thread's) starts without it.
constexpr size_t kSpareSlots = 1 << 16;
IndexTable<PyObject *, void>::Slots spare_slots;

}  // namespace

SharedWriter::SharedWriter() { index_.adopt(spare_slots); }

SharedWriter::~SharedWriter() {
    bool keep = spare_slots.empty() && index_.capacity() <= kSpareSlots;
    for (PyObject *obj : held_) {
        if (keep) index_.empty_run(hash(obj));
        Py_DECREF(obj);
    }
    if (keep) index_.leave(spare_slots);
}

int64_t SharedWriter::find_or_add(PyObject *obj, size_t at) {
    uint64_t h = hash(obj);
    int64_t found = index_.find(obj, h);
    if (found >= 0) return found;
    held_.push_back(obj);  // the reference is taken once held: a failed push_back leaves none to release
    Py_INCREF(obj);
    last_stood_in_ = at == stand_in_at_;
    last_ = last_stood_in_ ? stand_in_index_ : next_++;
    index_.add(obj, h, last_);
    if (!last_stood_in_) return -1;
    // Ready or not as what default returned is.
    was_unready_ = unready(last_);
    set_unready(last_, false);
    return -2;
}

void SharedWriter::forget_last() {
    PyObject *obj = held_.back();
    index_.remove_last(obj, hash(obj));
    held_.pop_back();
    Py_DECREF(obj);
    if (last_stood_in_) {
        set_unready(last_, was_unready_);
    } else {
        --next_;
    }
}

void SharedWriter::set_unready(int64_t index, bool unready) {
    if ((size_t)index >= unready_.size()) {
        if (!unready) return;
        unready_.resize((size_t)index + 1);
    }
    unready_[(size_t)index] = unready;
}

StringWriter::~StringWriter() {
    for (PyObject *obj : held_) Py_DECREF(obj);
}

namespace {

// FNV-1a over eight bytes a step, mixed at the end.
uint64_t text_hash(int major_type, const char *data, size_t size) {
    uint64_t h = 0xcbf29ce484222325u ^ (uint64_t)major_type ^ ((uint64_t)size << 8);
    size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        uint64_t word;
        std::memcpy(&word, data + i, 8);
        h = (h ^ word) * 0x100000001b3u;
    }
    for (; i < size; ++i) h = (h ^ (unsigned char)data[i]) * 0x100000001b3u;
    h *= 0x9e3779b97f4a7c15u;
    return h ^ (h >> 31);
}

}  // namespace

int64_t StringWriter::find_or_add(int major_type, PyObject *owner, const char *data, size_t size) {
    uint64_t h = text_hash(major_type, data, size);
    int64_t found = index_.find(Key{major_type, std::string_view(data, size)}, h);
    if (found >= 0 || size < reference_size(index_.size())) return found;
    if (owner) {
        held_.push_back(owner);
        Py_INCREF(owner);
    } else {
        copies_.emplace_back(new std::string(data, size));
        data = copies_.back()->data();
    }
    index_.add(Key{major_type, std::string_view(data, size)}, h);
    return -1;
}

}  // namespace vantra

namespace vantra {

void write_referenced(Sink *sink, int major_type, PyObject *owner, const char *data, size_t size) {
    int64_t index = sink->strings->find_or_add(major_type, owner, data, size);
    if (index >= 0) {
        if (cbor_inline::write_head(sink, 6, kStringRef) < 0 || cbor_inline::write_uint(sink, (uint64_t)index) < 0) {
            raise_no_memory();
        }
    } else if (owner && size >= kSegmentFrom) {
        write_segment(sink, major_type, owner, data, size);
    } else if (cbor_inline::write_string(sink, major_type, data, size) < 0) {
        raise_no_memory();
    }
}

}  // namespace vantra
