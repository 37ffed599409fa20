// The module vantra_cbor and its one function, dumps.
#include <pybind11/pybind11.h>

#include "encoder.hpp"

namespace vantra {
namespace {

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
    return to_bytes(*encoder.generator);
}

// Picks one of the four handler sets once per call.
py::bytes dumps(const DumpValue &value, bool indefinite, unsigned long max_depth) {
    GeneratorPtr generator(cbor_generator_create());
    if (!generator) raise_no_memory();
    if (max_depth != 0) {
        DumpEncoder<true> encoder{std::move(generator), 0, max_depth, kErrorTextLimit};
        return indefinite ? encode<true>(encoder, value) : encode<false>(encoder, value);
    }
    DumpEncoder<false> encoder{std::move(generator), kErrorTextLimit};
    return indefinite ? encode<true>(encoder, value) : encode<false>(encoder, value);
}

}  // namespace
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
    m.attr("__version__") = "6.7.8";
}
