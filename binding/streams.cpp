// CBOR sequences (RFC 8742): items one after another, from a buffer, a
// binary file or bytes that arrive in pieces.
//
// Every item is decoded by the one decoder (decode_item). Where the input
// comes in pieces, the codec's scan (cbor_scan_feed) finds where each item
// ends first, so that no byte past it is read from a file and no item is
// decoded before all of it is there; the scan resumes where it stopped, so
// each byte is scanned once however the input is cut.
#include "python.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <new>

#include "cbor.h"
#include "decoder.hpp"
#include "streams.hpp"
#include "values.hpp"

namespace vantra {
namespace {

PyObject *name_data, *name_fp, *name_max_item_size, *name_peek, *name_read, *name_readinto;

constexpr uint64_t kDefaultMaxItemSize = 64 << 20;
// Reads from a file take at most this much at once until the item has shown
// that it holds more, so that a length the file does not go on to fill costs
// no more memory than what did arrive.
constexpr size_t kFirstRead = 1 << 16;
// A need this large is read at once rather than through peek.
constexpr size_t kPeekLimit = 1 << 12;
// A StreamDecoder's buffer larger than this is given back once it is empty.
constexpr size_t kKeptBuffer = 1 << 20;

// error_class(message) with its pos attribute; null.
PyObject *raise_with_pos(PyObject *error_class, uint64_t pos, PyObject *message) {
    Ref error(message ? PyObject_CallFunctionObjArgs(error_class, message, nullptr) : nullptr);
    Ref where(error.get() ? PyLong_FromUnsignedLongLong(pos) : nullptr);
    if (where.get() && PyObject_SetAttrString(error.get(), "pos", where.get()) == 0) {
        PyErr_SetObject(error_class, error.get());
    }
    return nullptr;
}

// error_class("<what> at byte <pos>"), with its pos attribute; null.
PyObject *raise_at(PyObject *error_class, uint64_t pos, const char *format, ...) {
    va_list args;
    va_start(args, format);
    Ref what(PyUnicode_FromFormatV(format, args));
    va_end(args);
    Ref message(what.get() ? PyUnicode_FromFormat("%U at byte %llu", what.get(), (unsigned long long)pos) : nullptr);
    return raise_with_pos(error_class, pos, message.get());
}

// A bytes-like object's bytes, read in place.
class View {
public:
    View() = default;
    ~View() { close(); }
    View(const View &) = delete;
    View &operator=(const View &) = delete;

    // False with an error set when obj is not a C-contiguous buffer (function
    // names the caller in the error).
    bool open(const char *function, PyObject *obj) {
        close();
        if (PyBytes_CheckExact(obj)) {
            data_ = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(obj));
            size_ = (size_t)PyBytes_GET_SIZE(obj);
            return true;
        }
        if (!contiguous_buffer(function, obj, &view_)) return false;
        held_ = true;
        data_ = static_cast<const unsigned char *>(view_.buf);
        size_ = (size_t)view_.len;
        return true;
    }
    void close() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    const unsigned char *data() const { return data_; }
    size_t size() const { return size_; }

private:
    Py_buffer view_;
    bool held_ = false;
    const unsigned char *data_ = nullptr;
    size_t size_ = 0;
};

// A growable run of bytes in the interpreter's allocator.
class Bytes {
public:
    Bytes() = default;
    ~Bytes() { PyMem_Free(data_); }
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;

    unsigned char *data() const { return data_; }
    size_t size() const { return size_; }
    void clear() { size_ = 0; }
    // False with MemoryError set.
    bool append(const unsigned char *bytes, size_t n) {
        if (n > capacity_ - size_ && !grow(n)) return false;
        if (n) std::memcpy(data_ + size_, bytes, n);
        size_ += n;
        return true;
    }
    void free() {
        PyMem_Free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    bool grow(size_t n) {
        if (n > PY_SSIZE_T_MAX - size_) return PyErr_NoMemory(), false;
        size_t doubled = capacity_ < PY_SSIZE_T_MAX / 2 ? capacity_ * 2 : size_ + n;
        size_t capacity = std::max({size_ + n, doubled, (size_t)256});
        void *grown = PyMem_Realloc(data_, capacity);
        if (!grown) return PyErr_NoMemory(), false;
        data_ = static_cast<unsigned char *>(grown);
        capacity_ = capacity;
        return true;
    }

    unsigned char *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

bool is_framing_error(int status) { return status < 0; }

// The item at data[0..size), which the scan found complete, from the decoder.
PyObject *decode_framed(const unsigned char *data, size_t size, const DecodeOptions &options, uint64_t base) {
    size_t offset = 0;
    PyObject *value = decode_item(data, size, &offset, options, base);
    if (value && offset != size) {
        Py_DECREF(value);
        PyErr_Format(PyExc_SystemError, "the decoder ended an item at byte %llu, the scan at byte %llu",
                     (unsigned long long)(base + offset), (unsigned long long)(base + size));
        return nullptr;
    }
    return value;
}

// Raises for a scan that failed on the item at data[0..size), which starts at
// byte base of the stream: the decoder's own error where it finds one in those
// bytes (it reads them as iter_loads would), else the scan's.
PyObject *raise_scan_error(int status, const cbor_scan *scan, const unsigned char *data, size_t size, uint64_t base,
                           const DecodeOptions &options) {
    if (status == CBOR_SCAN_NO_MEMORY) return PyErr_NoMemory();
    if (status == CBOR_SCAN_TOO_LARGE) {
        return raise_at(CBORDecodeError, base, "CBOR item larger than max_item_size (%llu bytes)",
                        (unsigned long long)scan->max_size);
    }
    size_t offset = 0;
    PyObject *value = decode_item(data, size, &offset, options, base);
    if (!value && !PyErr_ExceptionMatches(CBORDecodeEOF)) return nullptr;
    if (value) {
        Py_DECREF(value);
    } else {
        PyErr_Clear();  // the end of these bytes: the scan knows better
    }
    return raise_scan_failure(status, scan, base, options);
}

// ---- Arguments ------------------------------------------------------------------------

// An int from 0 to 2**64-1.
bool size_option(const char *name, PyObject *value, uint64_t &out) {
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(value)->tp_name);
        return false;
    }
    unsigned long long n = PyLong_AsUnsignedLongLong(value);
    if (n == (unsigned long long)-1 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must be from 0 (no limit) to 2**64-1, not %R", name, value);
        return false;
    }
    out = n;
    return true;
}

// For types that only the module makes.
PyObject *refuse_new(PyTypeObject *type, PyObject *, PyObject *) {
    return PyErr_Format(PyExc_TypeError, "cannot create '%.100s' instances", type->tp_name);
}

// Instances of heap types hold a reference to their type from 3.8 on.
void free_instance(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
#if PY_VERSION_HEX >= 0x03080000
    Py_DECREF(type);
#else
    (void)type;
#endif
}

int visit_type(PyObject *self, visitproc visit, void *arg) {
#if PY_VERSION_HEX >= 0x03090000
    Py_VISIT(Py_TYPE(self));
#else
    (void)self, (void)visit, (void)arg;
#endif
    return 0;
}

PyObject *already_decoding(const char *what) {
    PyErr_Format(PyExc_RuntimeError, "%s is already decoding an item (called again from a hook or another thread)",
                 what);
    return nullptr;
}

// ---- iter_loads: the items of a buffer ---------------------------------------------------

// Holds the buffer's export until the last item, so that the bytes it reads
// cannot move or change size under it (a bytearray refuses to resize).
struct BufferItems {
    PyObject_HEAD
    Py_buffer view;
    bool holding;
    bool busy;
    size_t offset;
    DecodeOptions options;
};

BufferItems *as_buffer_items(PyObject *self) { return reinterpret_cast<BufferItems *>(self); }

void release_buffer(BufferItems *it) {
    if (!it->holding) return;
    it->holding = false;
    PyBuffer_Release(&it->view);
}

PyObject *buffer_items_next(PyObject *self) {
    BufferItems *it = as_buffer_items(self);
    if (!it->holding) return nullptr;
    if (it->busy) return already_decoding("this iter_loads() iterator");
    if (it->offset == (size_t)it->view.len) {
        release_buffer(it);
        return nullptr;
    }
    it->busy = true;
    PyObject *value = decode_item(static_cast<const unsigned char *>(it->view.buf), (size_t)it->view.len, &it->offset,
                                  it->options);
    it->busy = false;
    if (!value) release_buffer(it);  // nothing after an error
    return value;
}

int buffer_items_traverse(PyObject *self, visitproc visit, void *arg) {
    BufferItems *it = as_buffer_items(self);
    if (it->holding) Py_VISIT(it->view.obj);
    if (int status = it->options.traverse(visit, arg)) return status;
    return visit_type(self, visit, arg);
}

int buffer_items_clear(PyObject *self) {
    BufferItems *it = as_buffer_items(self);
    release_buffer(it);
    it->options.clear();
    return 0;
}

void buffer_items_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    buffer_items_clear(self);
    as_buffer_items(self)->options.~DecodeOptions();
    free_instance(self);
}

PyType_Slot buffer_items_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(buffer_items_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(buffer_items_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(buffer_items_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(buffer_items_next)},
    {Py_tp_doc, const_cast<char *>("The items of a CBOR sequence held in a buffer, from iter_loads().")},
    {0, nullptr},
};
PyType_Spec buffer_items_spec = {"vantra_cbor.BufferItems", sizeof(BufferItems), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, buffer_items_slots};
PyTypeObject *BufferItemsType;

PyObject *iter_loads_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    BufferItems *it = reinterpret_cast<BufferItems *>(BufferItemsType->tp_alloc(BufferItemsType, 0));
    if (!it) return nullptr;
    it->holding = it->busy = false;
    it->offset = 0;
    new (&it->options) DecodeOptions();
    Ref owner(reinterpret_cast<PyObject *>(it));
    PyObject *data;
    if (!parse_arguments("iter_loads", name_data, args, nargs, kwnames, data, it->options)) return nullptr;
    if (!contiguous_buffer("iter_loads", data, &it->view)) return nullptr;
    it->holding = true;
    return owner.release();
}

// ---- load and iter_load: items from a binary file ------------------------------------------

enum class Access { kPeek, kRead, kReadinto };

// A binary file read an item at a time: its bytes read so far (positions in
// errors count from the first), and how it is read.
struct Source {
    PyObject *fp;
    Access access;
    uint64_t offset;
};

// 1 when obj has the attribute, 0 when not, -1 with an error set.
int has_attribute(PyObject *obj, PyObject *name) {
    PyObject *attribute = PyObject_GetAttr(obj, name);
    if (attribute) {
        Py_DECREF(attribute);
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
}

// peek() with read() to take what it showed, read(n) alone, or readinto().
bool choose_access(const char *function, PyObject *fp, Access &access) {
    int peek = has_attribute(fp, name_peek);
    int read = peek < 0 ? -1 : has_attribute(fp, name_read);
    if (read < 0) return false;
    if (read) {
        access = peek ? Access::kPeek : Access::kRead;
        return true;
    }
    int readinto = has_attribute(fp, name_readinto);
    if (readinto < 0) return false;
    if (!readinto) {
        PyErr_Format(PyExc_TypeError, "%s() reads a binary file: %.200s has neither read() nor readinto()", function,
                     Py_TYPE(fp)->tp_name);
        return false;
    }
    access = Access::kReadinto;
    return true;
}

// fp.<method>(n).
PyObject *call_sized(PyObject *fp, PyObject *method, size_t n) {
    Ref size(PyLong_FromSize_t(n));
    return size.get() ? PyObject_CallMethodObjArgs(fp, method, size.get(), nullptr) : nullptr;
}

// What a read returned, as bytes: false with an error set for text, None (a
// non-blocking stream with nothing to read) or more bytes than asked for.
bool read_bytes(PyObject *got, const char *method, size_t most, View &view) {
    if (PyUnicode_Check(got)) {
        PyErr_SetString(PyExc_TypeError, "load() reads bytes: open the file in binary mode ('rb')");
        return false;
    }
    if (got == Py_None) {
        PyErr_Format(PyExc_BlockingIOError, "fp.%s() returned None: a stream read an item at a time must block",
                     method);
        return false;
    }
    if (!view.open("load", got)) return false;
    if (view.size() > most) {
        PyErr_Format(PyExc_ValueError, "fp.%s(%zu) returned %zu bytes", method, most, view.size());
        return false;
    }
    return true;
}

// How much to read for a need: all of it, up to a bound that grows with the
// bytes held.
size_t read_size(uint64_t need, size_t held) { return (size_t)std::min<uint64_t>(need, std::max(kFirstRead, held)); }

// The next item of the file: a new reference; null with an error set; null
// with none at the end of the file before an item, when stop_at_end.
PyObject *read_item(Source &src, cbor_scan *scan, Bytes &held, const DecodeOptions &options, bool stop_at_end) {
    held.clear();
    cbor_scan_reset(scan);
    uint64_t start = src.offset;
    for (;;) {
        uint64_t need = scan->need;
        bool peeking = src.access == Access::kPeek && need < kPeekLimit;
        size_t asked = peeking ? (size_t)need : read_size(need, held.size());
        Ref got;
        View bytes;
        if (src.access == Access::kReadinto) {
            // Into a bytearray of its own: the reader may keep what it is given.
            got.reset(PyByteArray_FromStringAndSize(nullptr, (Py_ssize_t)asked));
            if (!got.get()) return nullptr;
            Ref count(PyObject_CallMethodObjArgs(src.fp, name_readinto, got.get(), nullptr));
            if (!count.get()) return nullptr;
            if (count.get() == Py_None) {
                PyErr_SetString(PyExc_BlockingIOError,
                                "fp.readinto() returned None: a stream read an item at a time must block");
                return nullptr;
            }
            Py_ssize_t n = PyNumber_AsSsize_t(count.get(), PyExc_OverflowError);
            if (n == -1 && PyErr_Occurred()) return nullptr;
            if (n < 0 || (size_t)n > asked || n > PyByteArray_GET_SIZE(got.get())) {
                PyErr_Format(PyExc_ValueError, "fp.readinto() of %zu bytes returned %zd", asked, n);
                return nullptr;
            }
            if (PyByteArray_Resize(got.get(), n) < 0 || !bytes.open("load", got.get())) return nullptr;
        } else {
            got.reset(call_sized(src.fp, peeking ? name_peek : name_read, asked));
            if (!got.get() || !read_bytes(got.get(), peeking ? "peek" : "read", peeking ? SIZE_MAX : asked, bytes)) {
                return nullptr;
            }
        }
        if (bytes.size() == 0) {
            if (held.size() == 0 && stop_at_end) return nullptr;
            // The decoder says where the input ends (before an item, or inside one).
            size_t offset = 0;
            PyObject *value = decode_item(held.data(), held.size(), &offset, options, start);
            if (!value) return nullptr;
            Py_DECREF(value);
            return raise_at(CBORDecodeEOF, start + held.size(), "input ends inside an item");
        }
        size_t used;
        int status = cbor_scan_feed(scan, bytes.data(), bytes.size(), &used);
        if (peeking) {
            // Take from the file exactly the bytes the scan took.
            Ref taken(call_sized(src.fp, name_read, used));
            View taken_bytes;
            if (!taken.get() || !read_bytes(taken.get(), "read", used, taken_bytes)) return nullptr;
            if (taken_bytes.size() != used) {
                PyErr_Format(PyExc_ValueError, "fp.read(%zu) returned %zu bytes of the %zu that fp.peek() showed", used,
                             taken_bytes.size(), bytes.size());
                return nullptr;
            }
            src.offset += used;
            if (status == CBOR_SCAN_DONE && held.size() == 0) {
                return decode_framed(taken_bytes.data(), used, options, start);  // the whole item was in view
            }
            if (!held.append(taken_bytes.data(), used)) return nullptr;
            if (is_framing_error(status)) {
                // The decoder sees what follows too, unread, as loads would.
                if (!held.append(bytes.data() + used, bytes.size() - used)) return nullptr;
                return raise_scan_error(status, scan, held.data(), held.size(), start, options);
            }
        } else {
            src.offset += bytes.size();
            if (!held.append(bytes.data(), used)) return nullptr;
        }
        if (status == CBOR_SCAN_DONE) return decode_framed(held.data(), held.size(), options, start);
        if (is_framing_error(status)) return raise_scan_error(status, scan, held.data(), held.size(), start, options);
    }
}

// A scan for load and iter_load, which take no size limit.
cbor_scan *new_scan(uint64_t max_size, const DecodeOptions &options) {
    cbor_scan *scan = cbor_scan_create(max_size, scan_depth(options));
    if (!scan) PyErr_NoMemory();
    return scan;
}

PyObject *load_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *fp;
    DecodeOptions options;
    Access access;
    if (!parse_arguments("load", name_fp, args, nargs, kwnames, fp, options) || !choose_access("load", fp, access)) {
        return nullptr;
    }
    cbor_scan *scan = new_scan(0, options);
    if (!scan) return nullptr;
    Ref held_fp(fp);
    Py_INCREF(fp);
    Source src{fp, access, 0};
    Bytes held;
    PyObject *value = read_item(src, scan, held, options, false);
    cbor_scan_free(scan);
    return value;
}

struct FileItems {
    PyObject_HEAD
    PyObject *fp;  // null once the items are over
    Access access;
    bool busy;
    uint64_t offset;
    cbor_scan *scan;
    Bytes held;
    DecodeOptions options;
};

FileItems *as_file_items(PyObject *self) { return reinterpret_cast<FileItems *>(self); }

PyObject *file_items_next(PyObject *self) {
    FileItems *it = as_file_items(self);
    if (!it->fp) return nullptr;
    if (it->busy) return already_decoding("this iter_load() iterator");
    it->busy = true;
    Ref fp(it->fp);
    Py_INCREF(fp.get());
    Source src{fp.get(), it->access, it->offset};
    PyObject *value = read_item(src, it->scan, it->held, it->options, true);
    it->offset = src.offset;
    it->busy = false;
    if (!value) {  // the end of the file, or an error: nothing after either
        Py_CLEAR(it->fp);
        it->held.free();
    }
    return value;
}

int file_items_traverse(PyObject *self, visitproc visit, void *arg) {
    FileItems *it = as_file_items(self);
    Py_VISIT(it->fp);
    if (int status = it->options.traverse(visit, arg)) return status;
    return visit_type(self, visit, arg);
}

int file_items_clear(PyObject *self) {
    FileItems *it = as_file_items(self);
    Py_CLEAR(it->fp);
    it->options.clear();
    return 0;
}

void file_items_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    file_items_clear(self);
    FileItems *it = as_file_items(self);
    cbor_scan_free(it->scan);
    it->held.~Bytes();
    it->options.~DecodeOptions();
    free_instance(self);
}

PyType_Slot file_items_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(file_items_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(file_items_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(file_items_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(file_items_next)},
    {Py_tp_doc, const_cast<char *>("The items of a CBOR sequence read from a binary file, from iter_load().")},
    {0, nullptr},
};
PyType_Spec file_items_spec = {"vantra_cbor.FileItems", sizeof(FileItems), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                               file_items_slots};
PyTypeObject *FileItemsType;

PyObject *iter_load_entry(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    FileItems *it = reinterpret_cast<FileItems *>(FileItemsType->tp_alloc(FileItemsType, 0));
    if (!it) return nullptr;
    it->fp = nullptr;
    it->access = Access::kRead;
    it->busy = false;
    it->offset = 0;
    it->scan = nullptr;
    new (&it->held) Bytes();
    new (&it->options) DecodeOptions();
    Ref owner(reinterpret_cast<PyObject *>(it));
    PyObject *fp;
    if (!parse_arguments("iter_load", name_fp, args, nargs, kwnames, fp, it->options) ||
        !choose_access("iter_load", fp, it->access) || !(it->scan = new_scan(0, it->options))) {
        return nullptr;
    }
    Py_INCREF(fp);
    it->fp = fp;
    return owner.release();
}

// ---- StreamDecoder: bytes fed in pieces ----------------------------------------------------

// The bytes held are buffer[begin, end): every item not yet handed out, then
// the tail that no item has completed yet. The scan has read [begin, scanned)
// of the item at begin, and status says how far it got.
struct StreamState {
    unsigned char *buffer = nullptr;
    size_t capacity = 0, begin = 0, end = 0, scanned = 0;
    uint64_t base = 0;  // where buffer[0] sits in the stream
    int status = CBOR_SCAN_MORE;
    bool busy = false;
    Bytes incoming;      // fed while an item was being decoded, appended after it
    cbor_scan *scan = nullptr;
    PyObject *failure = nullptr;  // once a framing error was raised: its text, for every later call
    uint64_t failure_pos = 0;
    uint64_t max_item_size = kDefaultMaxItemSize;
    DecodeOptions options;

    StreamState() = default;
    ~StreamState() {
        PyMem_Free(buffer);
        cbor_scan_free(scan);
        Py_XDECREF(failure);
    }
    StreamState(const StreamState &) = delete;
    StreamState &operator=(const StreamState &) = delete;

    void drop_buffer() {
        PyMem_Free(buffer);
        buffer = nullptr;
        base += end;
        capacity = begin = end = scanned = 0;
    }

    // Moves the held bytes to the front of the buffer.
    void shift() {
        size_t live = end - begin;
        if (live) std::memmove(buffer, buffer + begin, live);
        base += begin;
        scanned -= begin;
        end = live;
        begin = 0;
    }

    // Room for n more bytes: the held ones moved down when that frees as much
    // as they take (each byte is moved at most once for every byte handed out
    // before it), else a buffer twice as large. Grown in place where the
    // allocator can (a large block is remapped, not copied).
    bool reserve(size_t n) {
        if (capacity - end >= n) return true;
        size_t live = end - begin;
        if (n > PY_SSIZE_T_MAX / 2 - live) return PyErr_NoMemory(), false;
        if (begin >= live && live + n <= capacity) {
            shift();
            return true;
        }
        size_t grown = std::max({capacity * 2, live + n, (size_t)4096});
        if (begin) shift();  // once for each doubling
        void *fresh = PyMem_Realloc(buffer, grown);
        if (!fresh) return PyErr_NoMemory(), false;
        buffer = static_cast<unsigned char *>(fresh);
        capacity = grown;
        return true;
    }

    bool append(const unsigned char *data, size_t n) {
        if (!reserve(n)) return false;
        if (n) std::memcpy(buffer + end, data, n);
        end += n;
        return true;
    }

    // Scans the bytes not scanned yet, up to the end of the item at begin.
    void advance() {
        if (status != CBOR_SCAN_MORE || scanned == end) return;
        size_t used;
        status = cbor_scan_feed(scan, buffer + scanned, end - scanned, &used);
        scanned += used;
        if (status == CBOR_SCAN_TOO_LARGE) end = scanned = begin;  // its error needs none of its bytes
    }

    // Bytes fed once the item at begin is known to be malformed: kept up to
    // the size limit, so that the decoder, which reads them to say what is
    // wrong, sees what iter_loads would have.
    size_t room_after_error() const {
        if (status == CBOR_SCAN_TOO_LARGE) return 0;
        if (!max_item_size) return SIZE_MAX;
        return end - begin < max_item_size ? (size_t)(max_item_size - (end - begin)) : 0;
    }
};

struct StreamDecoderObject {
    PyObject_HEAD
    StreamState state;
};

StreamState &state_of(PyObject *self) { return reinterpret_cast<StreamDecoderObject *>(self)->state; }

PyObject *raise_stopped(StreamState &s) {
    Ref message(PyUnicode_FromFormat("this StreamDecoder decodes no more after the error at byte %llu: %U",
                                     (unsigned long long)s.failure_pos, s.failure));
    return raise_with_pos(CBORDecodeError, s.failure_pos, message.get());
}

PyObject *stream_decoder_feed(PyObject *self, PyObject *data) {
    StreamState &s = state_of(self);
    if (s.failure) return raise_stopped(s);
    View bytes;
    if (!bytes.open("StreamDecoder.feed", data)) return nullptr;
    if (s.busy) {
        if (!s.incoming.append(bytes.data(), bytes.size())) return nullptr;
    } else if (!is_framing_error(s.status)) {
        if (!s.append(bytes.data(), bytes.size())) return nullptr;
        s.advance();
    } else if (!s.append(bytes.data(), std::min(bytes.size(), s.room_after_error()))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *stream_decoder_next(PyObject *self) {
    StreamState &s = state_of(self);
    if (s.failure) return raise_stopped(s);
    if (s.busy) return already_decoding("this StreamDecoder");
    s.advance();
    if (s.status == CBOR_SCAN_MORE) return nullptr;
    s.busy = true;
    const unsigned char *item = s.buffer + s.begin;
    uint64_t at = s.base + s.begin;
    if (s.status == CBOR_SCAN_DONE) {
        PyObject *value = decode_framed(item, s.scanned - s.begin, s.options, at);
        // The item is handed out, or its error raised: either way decoding goes
        // on after it.
        s.busy = false;
        s.begin = s.scanned;
        s.status = CBOR_SCAN_MORE;
        bool kept = s.incoming.size() == 0 || s.append(s.incoming.data(), s.incoming.size());
        s.incoming.clear();
        if (s.begin == s.end) {
            if (s.capacity > kKeptBuffer) {
                s.drop_buffer();
            } else {
                s.base += s.end;
                s.begin = s.end = s.scanned = 0;
            }
        }
        if (!kept) {
            Py_XDECREF(value);
            return nullptr;
        }
        return value;
    }
    // Where an item ends is lost: nothing after it can be decoded.
    raise_scan_error(s.status, s.scan, item, s.end - s.begin, at, s.options);
    s.busy = false;
    PyObject *type, *error, *traceback;
    PyErr_Fetch(&type, &error, &traceback);
    PyErr_NormalizeException(&type, &error, &traceback);
    s.failure = error ? PyObject_Str(error) : nullptr;
    if (!s.failure) {
        PyErr_Clear();
        s.failure = PyUnicode_FromString("an error");
    }
    bool positioned = error && PyErr_GivenExceptionMatches(error, CBORDecodeError);
    Ref pos(positioned ? PyObject_GetAttrString(error, "pos") : nullptr);
    s.failure_pos = pos.get() && PyLong_Check(pos.get()) ? PyLong_AsUnsignedLongLong(pos.get()) : at;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        s.failure_pos = at;
    }
    PyErr_Restore(type, error, traceback);
    s.drop_buffer();
    s.incoming.free();
    return nullptr;
}

PyObject *stream_decoder_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    if (PyTuple_GET_SIZE(args)) {
        PyErr_Format(PyExc_TypeError, "StreamDecoder() takes no positional arguments (%zd given)",
                     PyTuple_GET_SIZE(args));
        return nullptr;
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    StreamState &s = *new (&state_of(self)) StreamState();
    Ref owner(self);
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (kwargs && PyDict_Next(kwargs, &at, &key, &value)) {
        if (keyword_index(key, &name_max_item_size, 1) == 0) {
            if (!size_option("max_item_size", value, s.max_item_size)) return nullptr;
            continue;
        }
        int taken = s.options.set("StreamDecoder", key, value);
        if (taken < 0) return nullptr;
        if (taken == 0) {
            PyErr_Format(PyExc_TypeError, "StreamDecoder() got an unexpected keyword argument '%U'", key);
            return nullptr;
        }
    }
    if (!(s.scan = cbor_scan_create(s.max_item_size, scan_depth(s.options)))) return PyErr_NoMemory();
    return owner.release();
}

int stream_decoder_traverse(PyObject *self, visitproc visit, void *arg) {
    if (int status = state_of(self).options.traverse(visit, arg)) return status;
    return visit_type(self, visit, arg);
}

int stream_decoder_clear(PyObject *self) {
    state_of(self).options.clear();
    return 0;
}

void stream_decoder_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    state_of(self).~StreamState();
    free_instance(self);
}

PyObject *stream_decoder_pending(PyObject *self, void *) {
    StreamState &s = state_of(self);
    return PyLong_FromSize_t(s.end - s.begin + s.incoming.size());
}

PyObject *stream_decoder_max_item_size(PyObject *self, void *) {
    return PyLong_FromUnsignedLongLong(state_of(self).max_item_size);
}

PyGetSetDef stream_decoder_getset[] = {
    {const_cast<char *>("pending"), stream_decoder_pending, nullptr,
     const_cast<char *>("The number of bytes held: items not handed out yet, then the incomplete tail."), nullptr},
    {const_cast<char *>("max_item_size"), stream_decoder_max_item_size, nullptr,
     const_cast<char *>("The largest item taken, in bytes; 0 for no limit."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef stream_decoder_methods[] = {
    {"feed", stream_decoder_feed, METH_O,
     "feed($self, data, /)\n--\n\n"
     "Append data (bytes or any C-contiguous buffer) to the bytes held.\n\n"
     "Nothing is decoded here: iterate the decoder for the items completed so far."},
    {nullptr, nullptr, 0, nullptr},
};

const char stream_decoder_doc[] =
    "StreamDecoder(*, max_item_size=67108864, **options)\n--\n\n"
    "A push decoder for CBOR sequences whose bytes arrive in pieces that need not\n"
    "respect item boundaries (sockets, asyncio protocols).\n\n"
    "feed(data) appends bytes; iterating the decoder yields every item completed so\n"
    "far, decoded as loads decodes (it takes loads' options), and keeps the incomplete\n"
    "tail for later feeds. pending is the number of bytes held. Each byte is scanned\n"
    "once, however the input is cut.\n\n"
    "max_item_size refuses an item that declares or reaches more bytes than that (0:\n"
    "no limit) with a CBORDecodeError. Input that is not well-formed raises\n"
    "CBORDecodeError with the offset in the whole stream; the decoder then decodes no\n"
    "more, and says so on every later call. An item that is well-formed but cannot be\n"
    "decoded (invalid UTF-8, a hook's error) raises its error, and decoding goes on\n"
    "after it.";

PyType_Slot stream_decoder_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(stream_decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(stream_decoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(stream_decoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(stream_decoder_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(stream_decoder_next)},
    {Py_tp_getset, stream_decoder_getset},
    {Py_tp_methods, stream_decoder_methods},
    {Py_tp_doc, const_cast<char *>(stream_decoder_doc)},
    {0, nullptr},
};
PyType_Spec stream_decoder_spec = {"vantra_cbor.StreamDecoder", sizeof(StreamDecoderObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, stream_decoder_slots};

// ---- The module's functions ------------------------------------------------------------------

const char iter_loads_doc[] =
    "iter_loads(data, **options)\n--\n\n"
    "Iterate over the items of a CBOR sequence (RFC 8742) held in data: bytes or any\n"
    "C-contiguous buffer, read in place (a bytearray cannot be resized meanwhile).\n\n"
    "Each item is decoded as loads decodes it, with loads' options. Empty data holds\n"
    "no items. Complete items are yielded before an error about a later one is raised;\n"
    "a truncated last item raises CBORDecodeEOF. Every error's pos is its offset in\n"
    "data. Nothing is yielded after an error.";

const char load_doc[] =
    "load(fp, **options)\n--\n\n"
    "Read one CBOR item from the binary file object fp and decode it as loads does,\n"
    "with loads' options.\n\n"
    "fp is left just after the item: no byte past it is read, on unbuffered streams\n"
    "too (a pipe, socket.makefile('rb', buffering=0), an object with only read(n)\n"
    "or readinto()), so the next load(fp) reads the next item. fp.peek() is used when\n"
    "fp has it (a BufferedReader). At the end of the file, and when the file ends\n"
    "inside the item, CBORDecodeEOF is raised; positions in errors count from where\n"
    "load started reading. To decode a whole file as one item: loads(fp.read()).";

const char iter_load_doc[] =
    "iter_load(fp, **options)\n--\n\n"
    "Iterate over the items of a CBOR sequence read from the binary file object fp,\n"
    "each read as load(fp) reads it, until the file ends cleanly between two items; an\n"
    "end inside an item raises CBORDecodeEOF. Only the item being read is held, so\n"
    "memory stays bounded by the largest item. Positions in errors count from where\n"
    "iteration started. Nothing is yielded after an error; fp is then just after the\n"
    "item at fault when that item was well-formed.";

PyMethodDef stream_functions[] = {
    {"iter_loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_loads_entry)),
     METH_FASTCALL | METH_KEYWORDS, iter_loads_doc},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(load_entry)), METH_FASTCALL | METH_KEYWORDS,
     load_doc},
    {"iter_load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_load_entry)),
     METH_FASTCALL | METH_KEYWORDS, iter_load_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_streams(PyObject *module) {
    struct {
        PyObject **name;
        const char *text;
    } names[] = {{&name_data, "data"}, {&name_fp, "fp"}, {&name_max_item_size, "max_item_size"},
                 {&name_peek, "peek"}, {&name_read, "read"}, {&name_readinto, "readinto"}};
    for (auto &entry : names) {
        if (!(*entry.name = PyUnicode_InternFromString(entry.text))) return false;
    }
    BufferItemsType = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&buffer_items_spec));
    FileItemsType = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&file_items_spec));
    if (!BufferItemsType || !FileItemsType) return false;
    PyObject *decoder_type = PyType_FromSpec(&stream_decoder_spec);
    if (!decoder_type) return false;
    if (PyModule_AddObject(module, "StreamDecoder", decoder_type) < 0) {
        Py_DECREF(decoder_type);
        return false;
    }
    return PyModule_AddFunctions(module, stream_functions) == 0;
}

}  // namespace vantra
