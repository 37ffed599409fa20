// A call's output: the buffer and segments it is written into, and the result
// built from them.
#include "python.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "encoder.hpp"
#include "text.hpp"

namespace vantra {
namespace {

// A buffer of up to this size (1 MiB), and a segment list of up to this many
// entries, are kept for the next call. Calls run with the interpreter lock
// held, which guards the spare; a call that finds it taken (a call from an
// element hook, or from another thread meanwhile) simply starts without one.
constexpr size_t kSpareLimit = 1024 * 1024;
constexpr size_t kSpareSegments = 1024;

struct Spare {
    unsigned char *data = nullptr;
    size_t capacity = 0;
    Segment *segments = nullptr;
    size_t segment_room = 0;
} spare;

// From this size on, the buffer is a bytes object, the result itself: the
// output is not copied once more at the end, and the object grows in place
// (the allocator moves large blocks by remapping their pages).
constexpr size_t kInResultFrom = 64 * 1024;

// The buffer, a block of the heap, back to the spare, or freed (the output's
// own first buffer stays where it is).
void let_go(Sink *sink) {
    if (sink->first && sink->data == sink->first) return;
    if (!spare.data && sink->capacity <= kSpareLimit) {
        spare.data = sink->data;
        spare.capacity = sink->capacity;
    } else {
        std::free(sink->data);
    }
}

// Out of the output's first buffer, into the spare block when it has the
// room, else a block of the heap of its own.
int leave_first(Sink *sink, size_t count) {
    size_t need = sink->length + count;
    unsigned char *block;
    size_t capacity;
    if (spare.data && spare.capacity >= need) {
        block = spare.data, capacity = spare.capacity;
        spare.data = nullptr, spare.capacity = 0;
    } else {
        capacity = std::max(need, 2 * sink->capacity);
        block = static_cast<unsigned char *>(std::malloc(capacity));
        if (!block) return -1;
    }
    std::memcpy(block, sink->data, sink->length);
    sink->data = block, sink->capacity = capacity;
    return 0;
}

int grow_result(Sink *sink, size_t count) {
    if (cbor_inline::add_overflows(sink->length, count)) return -1;
    size_t capacity = std::max(sink->length + count, sink->capacity + sink->capacity / 2);
    if (capacity > (size_t)PY_SSIZE_T_MAX - 64) return -1;
    if (!sink->result) {
        PyObject *bytes = PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)capacity);
        if (!bytes) {
            PyErr_Clear();
            return -1;
        }
        std::memcpy(PyBytes_AS_STRING(bytes), sink->data, sink->length);
        let_go(sink);
        sink->result = bytes;
    } else if (_PyBytes_Resize(&sink->result, (Py_ssize_t)capacity) < 0) {
        // The object is gone, and what was written with it.
        PyErr_Clear();
        sink->result = nullptr, sink->data = nullptr, sink->length = 0, sink->capacity = 0;
        return -1;
    }
    sink->data = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(sink->result));
    sink->capacity = capacity;
    return 0;
}

}  // namespace

// data/length stay valid when it fails, save when the result's own storage
// could not grow (then nothing is kept). Kept out of line: inlined into the
// writers, it was measured to slow them.
VANTRA_NOINLINE int grow(Sink *sink, size_t count) {
    if (sink->result || sink->length + count > kInResultFrom) return grow_result(sink, count);
    if (sink->first && sink->data == sink->first) return leave_first(sink, count);
    void *block = sink->data;
    if (!cbor_inline::grow_block(&block, &sink->capacity, sink->length, count, 1, 64)) return -1;
    sink->data = static_cast<unsigned char *>(block);
    return 0;
}

void write_segment(Sink *sink, int major_type, PyObject *owner, const char *data, size_t size) {
    if (sink->segment_count == sink->segment_room) {
        if (!sink->segments && spare.segments) {  // a call's output takes the spare list when it first needs one
            sink->segments = spare.segments, sink->segment_room = spare.segment_room;
            spare.segments = nullptr, spare.segment_room = 0;
        }
    }
    if (sink->segment_count == sink->segment_room) {
        void *block = sink->segments;
        if (!cbor_inline::grow_block(&block, &sink->segment_room, sink->segment_count, 1, sizeof(Segment), 16)) {
            raise_no_memory();
        }
        sink->segments = static_cast<Segment *>(block);
    }
    if (cbor_inline::add_overflows(sink->segment_bytes, size) ||
        cbor_inline::write_head(sink, major_type, size) < 0) {
        raise_no_memory();
    }
    Py_INCREF(owner);
    sink->segments[sink->segment_count++] = Segment{sink->length, owner, data, size};
    sink->segment_bytes += size;
}

Output::Output()
    : sink_{spare.data, 0, spare.capacity, spare.segments, 0, spare.segment_room, 0, nullptr, nullptr, nullptr} {
    spare = Spare();
}

void Output::give_back() {
    for (size_t i = 0; i < sink_.segment_count; ++i) Py_DECREF(sink_.segments[i].owner);
    if (sink_.result) {
        Py_DECREF(sink_.result);
    } else {
        let_go(&sink_);
    }
    if (!sink_.segments) return;
    if (!spare.segments && sink_.segment_room <= kSpareSegments) {
        spare.segments = sink_.segments;
        spare.segment_room = sink_.segment_room;
    } else {
        std::free(sink_.segments);
    }
}

// One allocation of the exact size; the buffer's bytes and the segments'
// texts are copied into it in order. Each text's owner is let go as soon as
// it is copied, while its object is still in cache.
py::bytes Output::finish() {
    Sink &s = sink_;
    if (!s.segment_count && s.result) {
        // A large output, already in its result: cut to its size.
        PyObject *result = s.result;
        s.result = nullptr;
        s.data = nullptr, s.capacity = 0;
        if (_PyBytes_Resize(&result, (Py_ssize_t)s.length) < 0) {
            PyErr_Clear();
            throw std::runtime_error("Could not allocate bytes object!");
        }
        return py::reinterpret_steal<py::bytes>(result);
    }
    if (!s.segment_count) {
        // The common case: everything is in the buffer.
        PyObject *result = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(s.data), (Py_ssize_t)s.length);
        if (!result) {
            PyErr_Clear();
            throw std::runtime_error("Could not allocate bytes object!");
        }
        return py::reinterpret_steal<py::bytes>(result);
    }
    PyObject *result = nullptr;
    if (!cbor_inline::add_overflows(s.length, s.segment_bytes) && s.length + s.segment_bytes <= (size_t)PY_SSIZE_T_MAX) {
        result = PyBytes_FromStringAndSize(nullptr, (Py_ssize_t)(s.length + s.segment_bytes));
    }
    if (!result) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate bytes object!");
    }
    unsigned char *out = reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(result));
    size_t from = 0, count = s.segment_count;
    s.segment_count = 0;
    for (size_t i = 0; i < count; ++i) {
        // Between two texts the buffer holds little more than the next head.
        const Segment &segment = s.segments[i];
        cbor_inline::copy_bytes(out, s.data + from, segment.at - from);
        out += segment.at - from;
        if (segment.data) {
            std::memcpy(out, segment.data, segment.size);
        } else {
            write_utf8_of(segment.owner, out, segment.size);
        }
        out += segment.size;
        from = segment.at;
        Py_DECREF(segment.owner);
    }
    if (s.length > from) std::memcpy(out, s.data + from, s.length - from);
    return py::reinterpret_steal<py::bytes>(result);
}

}  // namespace vantra
