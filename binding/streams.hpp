// CBOR sequences (RFC 8742): iter_loads over a buffer, load and iter_load
// over a binary file, and StreamDecoder for bytes that arrive in pieces.
#pragma once

#include "python.hpp"

namespace vantra {

// Adds iter_loads, load, iter_load and StreamDecoder to the module; false with an error set.
bool add_streams(PyObject *module);

}  // namespace vantra
