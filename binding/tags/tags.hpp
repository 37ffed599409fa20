// The tag families: each reads its tags and writes its Python types, side by
// side in one file. This header is the one list of them: registry.cpp makes
// the table the decoder consults from the readers, and the Encoder's from the
// writers.
#pragma once

#include "../decode.hpp"

namespace vantra {

// ---- Readers: each reads the content of the tag whose head is behind the cursor.

// datetime.cpp: 0 (RFC 3339 text), 1 (epoch seconds), 100 (days), 1004 (full-date text).
PyObject *read_datetime_text(Decoder &decoder, uint64_t number, Place place);
PyObject *read_datetime_epoch(Decoder &decoder, uint64_t number, Place place);
PyObject *read_date_days(Decoder &decoder, uint64_t number, Place place);
PyObject *read_date_text(Decoder &decoder, uint64_t number, Place place);
// numbers.cpp: 2 and 3 (bignums), 4 (decimal fractions).
PyObject *read_bignum(Decoder &decoder, uint64_t number, Place place);
PyObject *read_decimal_fraction(Decoder &decoder, uint64_t number, Place place);
// identifiers.cpp: 37 (UUID).
PyObject *read_uuid(Decoder &decoder, uint64_t number, Place place);
// typed_arrays.cpp: 64-87 (RFC 8746 typed arrays), 40 (multi-dimensional arrays).
PyObject *read_typed_array(Decoder &decoder, uint64_t number, Place place);
PyObject *read_shaped_array(Decoder &decoder, uint64_t number, Place place);

// Sets up what the families need from the interpreter at import: false with an error set.
bool init_datetime_family();

}  // namespace vantra

namespace vantra {

// For a reader whose module could not be imported (the error is set): a
// CBORDecodeError that says so, with the import's error as its cause. Other
// errors (RecursionError, an interrupt) are left as they are.
PyObject *import_failed(Decoder &decoder, const unsigned char *at, uint64_t number, const char *module);

}  // namespace vantra
