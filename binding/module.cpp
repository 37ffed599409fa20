// The module vantra_cbor and its one function, dumps.
#include "python.hpp"

#include <pybind11/pybind11.h>

#include <cstdlib>

#include "encoder.hpp"
#include "entry.hpp"

namespace vantra {
namespace {

// An output block of up to this size (1 MiB) is kept for the next call. Calls run
// with the interpreter lock held, which guards the spare; a call that finds it
// taken (a call from an element hook, or from another thread meanwhile) simply
// starts without one.
constexpr size_t kSpareLimit = 1024 * 1024;

struct Spare {
    unsigned char *data = nullptr;
    size_t capacity = 0;
} spare;

py::bytes to_bytes(const cbor_generator &generator) {
    PyObject *result = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(generator.data),
                                                 (Py_ssize_t)generator.length);
    if (!result) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate bytes object!");
    }
    return py::reinterpret_steal<py::bytes>(result);
}

template <bool Indefinite, bool Limited>
py::bytes encode(DumpEncoder<Limited> &encoder, const DumpValue &value) {
    std::visit(Encode<Indefinite, Limited>{encoder}, value);
    return to_bytes(*encoder.generator.get());
}

}  // namespace

Output::Output() : generator_{spare.data, 0, spare.capacity} {
    spare.data = nullptr;
    spare.capacity = 0;
}

Output::~Output() {
    if (!spare.data && generator_.capacity <= kSpareLimit) {
        spare.data = generator_.data;
        spare.capacity = generator_.capacity;
    } else {
        std::free(generator_.data);
    }
}

void prepare_exceptions() {
    try {
        throw 0;
    } catch (int) {
    }
}

// Picks one of the four handler sets once per call.
py::bytes dumps(const DumpValue &value, bool indefinite, unsigned long max_depth) {
    if (max_depth != 0) {
        DumpEncoder<true> encoder{{}, 0, max_depth, kErrorTextLimit};
        return indefinite ? encode<true>(encoder, value) : encode<false>(encoder, value);
    }
    DumpEncoder<false> encoder{{}, kErrorTextLimit};
    return indefinite ? encode<true>(encoder, value) : encode<false>(encoder, value);
}

}  // namespace vantra

PYBIND11_MODULE(vantra_cbor, m) {
    namespace py = pybind11;
    m.doc() = R"pbdoc(
        Vantra cbor
        -----------------------

        .. currentmodule:: vantra_cbor

        .. autosummary::
           :toctree: _generate

           dumps
    )pbdoc";
    m.def("dumps", &vantra::dumps, py::arg("value"), py::arg("indefinite") = true,
          py::arg("max_depth") = 0, R"pbdoc(
    Dump a Python object to cbor
    )pbdoc");
    vantra::install_entry(m);
    vantra::prepare_exceptions();
    m.attr("__version__") = "6.7.8";
}
