// The module vantra_cbor and its one function, dumps.
#include "python.hpp"

#include <pybind11/pybind11.h>

#include "encoder.hpp"
#include "decoder.hpp"
#include "diag.hpp"
#include "entry.hpp"
#include "streams.hpp"
#include "values.hpp"

namespace vantra {
namespace {

// A value classified beforehand, or an object of an exact common type, which
// is written as it is.
template <bool Indefinite, bool Limited>
void write(Encode<Indefinite, Limited> encode, const DumpValue &value) {
    std::visit(encode, value);
}
template <bool Indefinite, bool Limited>
void write(Encode<Indefinite, Limited> encode, PyObject *value) {
    encode.write_object(value);
}

template <bool Indefinite, bool Limited, class Value>
py::bytes encode(DumpEncoder<Limited> &encoder, const Value &value) {
    write(Encode<Indefinite, Limited>{encoder}, value);
    return encoder.output.finish();
}

// Picks one of the four handler sets once per call.
template <class Value>
py::bytes dumps_with(const Value &value, bool indefinite, unsigned long max_depth) {
    if (max_depth != 0) {
        DumpEncoder<true> encoder(max_depth);
        return indefinite ? encode<true>(encoder, value) : encode<false>(encoder, value);
    }
    DumpEncoder<false> encoder;
    return indefinite ? encode<true>(encoder, value) : encode<false>(encoder, value);
}

}  // namespace

void prepare_exceptions() {
    try {
        throw 0;
    } catch (int) {
    }
}

py::bytes dumps(const DumpValue &value, bool indefinite, unsigned long max_depth) {
    return dumps_with(value, indefinite, max_depth);
}

PyObject *dumps_common(PyObject *value, bool indefinite, unsigned long max_depth) {
    return dumps_with(value, indefinite, max_depth).release().ptr();
}

void dump(const DumpValue &value, py::object fp, bool indefinite, unsigned long max_depth) {
    try {
        py::bytes data = dumps(value, indefinite, max_depth);
        fp.attr("write")(data);
    } catch (const PythonErrorSet &) {
        throw py::error_already_set();
    }
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
    m.def("dump", &vantra::dump, py::arg("value"), py::arg("fp"), py::arg("indefinite") = true,
          py::arg("max_depth") = 0, R"pbdoc(
    Write dumps(value, indefinite, max_depth) to the binary file object fp
    )pbdoc");
    vantra::install_entry(m);
    if (!vantra::add_value_types(m.ptr()) || !vantra::add_decoder(m.ptr()) || !vantra::add_streams(m.ptr()) ||
        !vantra::add_encoder_type(m.ptr()) || !vantra::add_diag(m.ptr())) {
        throw py::error_already_set();
    }
    vantra::prepare_exceptions();
    m.attr("__version__") = "6.7.8";
}
