#include <pybind11/pybind11.h>

#include "cbor.h"

PYBIND11_MODULE(vantra_cbor, m) { (void)m; }
