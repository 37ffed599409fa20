// loads: CBOR to Python objects. The entry points that read CBOR
// (loads, load, the sequence readers) share one decoder and one set of options.
#pragma once

#include "python.hpp"

#include <cstddef>
#include <cstdint>

#include "cbor.h"

namespace vantra {

// The options every decoding entry point takes, checked once. Holds its own
// references to the hooks.
class DecodeOptions {
public:
    DecodeOptions() = default;
    ~DecodeOptions() { clear(); }
    DecodeOptions(const DecodeOptions &) = delete;
    DecodeOptions &operator=(const DecodeOptions &) = delete;

    // Takes the option called name (a str): 1 when it is one of them, 0 when
    // no option has that name (nothing set), -1 with an error set for a bad
    // value. function names the caller in messages ("loads").
    int set(const char *function, PyObject *name, PyObject *value);
    // For an owner's garbage-collector support.
    int traverse(visitproc visit, void *arg);
    void clear();

    uint64_t max_depth = 0;           // 0: no limit
    PyObject *tag_hook = nullptr;     // null for none
    PyObject *object_hook = nullptr;  // null for none
    const char *str_errors = "strict";  // the error handler for invalid UTF-8
    bool allow_duplicate_keys = true;
};

// Decodes the one item that starts at data[*offset], within data[0..size):
// a new reference, with *offset moved past the item; or null with an error
// set, CBORDecodeEOF when the input ends inside the item (or before it).
// Errors give positions as base + the offset in data, so that a caller reading
// a stream in pieces reports where the byte sits in the whole stream.
PyObject *decode_item(const unsigned char *data, size_t size, size_t *offset, const DecodeOptions &options,
                      uint64_t base = 0);

// The nesting limit of the scan that finds where items end, for these options.
uint64_t scan_depth(const DecodeOptions &options);
// Raises what a scan's MALFORMED, TOO_DEEP or NO_MEMORY status says about the
// item that starts at byte `start` of the stream; returns null.
PyObject *raise_scan_failure(int status, const cbor_scan *scan, uint64_t start, const DecodeOptions &options);

// Fills view with obj's bytes, read in place: false with an error set, the
// same BufferError for every buffer that is not C-contiguous, whatever its
// exporter would have raised. function names the caller ("loads").
bool contiguous_buffer(const char *function, PyObject *obj, Py_buffer *view);

// Takes `first` (data or fp) by position or by name, and every other keyword
// as a decoding option: false with TypeError set.
bool parse_arguments(const char *function, PyObject *first_name, PyObject *const *args, Py_ssize_t nargs,
                     PyObject *kwnames, PyObject *&first, DecodeOptions &options);

// Adds loads to the module; false with an error set.
bool add_decoder(PyObject *module);

}  // namespace vantra
