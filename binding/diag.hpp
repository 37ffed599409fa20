// diag and from_diag: CBOR to diagnostic notation and back.
#pragma once

#include "python.hpp"

namespace vantra {

// Adds diag, from_diag, DiagDecodeError and the command line's helpers to the
// module; false with an error set.
bool add_diag(PyObject *module);

}  // namespace vantra
