// loads and load: CBOR to Python objects.
#pragma once

#include "python.hpp"

namespace vantra {

// Adds loads and load to the module; false with an error set.
bool add_decoder(PyObject *module);

}  // namespace vantra
