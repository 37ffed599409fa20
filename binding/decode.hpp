// The decoder's walk over one input, and what the tag families read their
// content through. Errors are return values all the way up: every function
// that makes an object returns a new reference, or null with the error set
// (rejecting hostile input costs what reading it up to the fault costs).
#pragma once

#include "python.hpp"

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "cbor.h"
#include "decoder.hpp"
#include "encoder.hpp"
#include "reader_inline.h"
#include "references.hpp"

namespace vantra {

// What an item is read as: a value, or a part of a map key or of a set
// element, where arrays become tuples (so that they can be hashed) and maps
// are refused.
enum class Place : unsigned char { kValue, kKey, kElement };

class Decoder;

// Reads the content of a tag (its head is behind the cursor) and makes the
// tag's value: a new reference, or null with an error set.
using TagRead = PyObject *(*)(Decoder &decoder, uint64_t number, Place place);

struct TagReader {
    uint64_t first, last;  // the tag numbers it reads
    TagRead read;
};

// The reader of tag `number`, or null for a tag without a built-in meaning
// (tags/registry.cpp).
const TagReader *find_tag_reader(uint64_t number);

// A module's attribute, imported on first use and kept: a borrowed reference,
// or null with an error set.
class LazyImport {
public:
    constexpr LazyImport(const char *module, const char *name) : module_(module), name_(name) {}
    PyObject *get(Decoder &decoder);

private:
    const char *module_;
    const char *name_;
    PyObject *value_ = nullptr;
};

class Decoder {
public:
    Decoder(const unsigned char *data, size_t size, size_t start, const DecodeOptions &options, uint64_t base)
        : in_{data, size, data + start, 0}, end_(data + size), limit_(options.max_depth ? options.max_depth : UINT64_MAX),
          options_(options), base_(base), stack_(" while decoding a CBOR object") {}

    // The one item the input holds, and nothing after it.
    PyObject *document();
    // The item at the cursor.
    PyObject *item(Place place);
    // Bytes read so far.
    size_t offset() const { return (size_t)(in_.cursor - in_.start); }

    // ---- For the tag families -------------------------------------------------

    const unsigned char *cursor() const { return in_.cursor; }
    const unsigned char *end() const { return end_; }
    // The content of tag `number` read as any other item, made a Tag (or
    // passed to tag_hook).
    PyObject *plain_tag(uint64_t number, Place place);
    // A Tag of number over content (or tag_hook's value for them).
    PyObject *tagged(uint64_t number, PyObject *content);
    // The tag's value made from its content (stolen) by make, which returns a
    // new reference or null with an error set; content that make refuses with
    // an ordinary error is malformed: "tag N content is not <what>".
    PyObject *converted(const unsigned char *at, uint64_t number, PyObject *content, PyObject *(*make)(PyObject *),
                        const char *what);
    // A byte string's content, read in place where it is one piece: a
    // memoryview of the input, or the joined bytes of an indefinite one.
    PyObject *byte_string_view();
    // Tag 258's content, a set (a frozenset unless place is a value).
    PyObject *set(Place place);
    // True when the stack has room for an import; RecursionError otherwise.
    bool import_room();
    // For a value whose object is far larger than its input (a bigfloat's
    // exact digits): false, with an error set at `at`, once the call's values
    // would pass their allowance, a multiple of the input's size.
    bool expand(const unsigned char *at, uint64_t bytes);
    // Value sharing and string references (references.cpp): tags 28, 29, 256
    // and 25, their content at the cursor (at).
    PyObject *shareable(Place place);
    PyObject *shared_reference(const unsigned char *at);
    PyObject *string_namespace(Place place);
    PyObject *string_reference(const unsigned char *at);

    // Each sets CBORDecodeError ("<what> at byte N", pos N) and returns null.
    VANTRA_NOINLINE PyObject *fail(const unsigned char *at, const char *format, ...);
    // The same, for input that ends inside an item: CBORDecodeEOF.
    VANTRA_NOINLINE PyObject *truncated(const unsigned char *at, const char *format, ...);
    // The same, with the Python error that is set as its cause.
    VANTRA_NOINLINE PyObject *fail_from_error(const unsigned char *at, const char *what);

private:
    cbor_parser in_;
    const unsigned char *end_;
    uint64_t depth_ = 0;
    uint64_t limit_;  // max_depth, or no limit
    const DecodeOptions &options_;
    uint64_t base_;  // the stream offset of data[0], for positions in errors
    StackBound stack_;
    std::unique_ptr<SharedValues> shared_;  // made at the first tag 28
    std::unique_ptr<StringTables> strings_;  // made at the first tag 256
    size_t namespaces_ = 0;                  // tag 256 items the cursor is inside
    uint64_t expanded_ = 0;                  // what expand() has allowed so far

    size_t left() const { return (size_t)(end_ - in_.cursor); }
    // Sets error_class(message) (message and cause stolen), with pos; returns null.
    PyObject *raise(PyObject *error_class, const unsigned char *at, PyObject *message, PyObject *cause);
    PyObject *message(const unsigned char *at, const char *format, va_list args);
    PyObject *text_at(const unsigned char *at, const char *format, ...);

    // The head's argument; the cursor moves past the head. False with an error set.
    VANTRA_INLINE bool argument(const unsigned char *at, uint64_t &arg) {
        if (cbor_inline::read_head(&in_, &arg) == 0) return true;
        bad_head(at);
        return false;
    }
    VANTRA_NOINLINE void bad_head(const unsigned char *at);
    // The error for a length or count that the rest of the input cannot
    // hold: CBORDecodeEOF when those bytes could still begin the item.
    VANTRA_NOINLINE void overrun(const unsigned char *at, const char *what, uint64_t n, const char *units);
    // A length or count that the rest of the input must be able to hold, at
    // `each` bytes a unit at the least.
    VANTRA_INLINE bool counted(const unsigned char *at, uint64_t n, size_t each, const char *what, const char *units,
                               size_t &out) {
        if (n > left() / each) {
            overrun(at, what, n, units);
            return false;
        }
        out = (size_t)n;
        return true;
    }

    VANTRA_INLINE PyObject *member(Place place, bool fast);
    VANTRA_INLINE PyObject *scalar(Place place, bool fast);
    VANTRA_INLINE PyObject *list_item(class HiddenList &list, Place place, bool fast);
    VANTRA_INLINE PyObject *short_text(const unsigned char *at, size_t n, Place place);
    // Whether a container's elements can be read by member()'s own paths:
    // within max_depth, and outside any string namespace (whose strings are
    // noted as they are read).
    bool fast_members() const { return depth_ < limit_ && namespaces_ == 0; }
    PyObject *element(const unsigned char *at, Place place);
    PyObject *bytes(const unsigned char *at, uint64_t n);
    PyObject *text(const unsigned char *at, uint64_t n, Place place);
    PyObject *text_of(const unsigned char *at, const unsigned char *s, size_t n);
    PyObject *cached_key(const unsigned char *at, const unsigned char *s, size_t n);
    int next_chunk(const unsigned char *at, unsigned major_type, const char *what, const unsigned char *&chunk,
                   size_t &size);
    PyObject *byte_chunks(const unsigned char *at);
    PyObject *text_chunks(const unsigned char *at);
    PyObject *list_of(const unsigned char *at, bool indefinite, uint64_t n, Place items);
    PyObject *array(const unsigned char *at, Place place, bool indefinite, uint64_t n);
    PyObject *map(const unsigned char *at, Place place, bool indefinite, uint64_t n);
    VANTRA_INLINE PyObject *map_items(PyObject *dict, bool indefinite, size_t count);
    PyObject *fill_list(PyObject *list);
    PyObject *fill_map(PyObject *dict);
    bool note_string(PyObject *string, size_t size);
    PyObject *lenient_text_chunks(const unsigned char *at, const unsigned char *first);
    bool set_item(PyObject *dict, PyObject *key, PyObject *value, const unsigned char *key_at);
    PyObject *tag(const unsigned char *at, uint64_t number, Place place);
    PyObject *simple(const unsigned char *at, unsigned ai);
    PyObject *constant(unsigned ai);
    template <int kWidth>
    PyObject *real(const unsigned char *at);
    bool at_break();
};

}  // namespace vantra
