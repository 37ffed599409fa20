// Numbers as text and back, for the diagnostic notation: the shortest decimal
// that reads back as the same double, and decimal text to a double, both
// correctly rounded and independent of the C locale.
#ifndef VANTRA_CBOR_DIAG_NUMBER_H
#define VANTRA_CBOR_DIAG_NUMBER_H

#include <cstddef>
#include <cstdint>

namespace cbor_diag_number {

// The shortest decimal that reads back as v, as Python's repr writes it
// (exponent from -4 to 15 in positional form), always with a '.' or an 'e' so
// that it reads as a float: "1.0", "1.5e+300", "-0.0". NaN and the infinities
// are the caller's. out needs room for 32 bytes; returns the length.
size_t format_double(double v, char *out);

// The double nearest to the decimal in [text, text + size) (digits, an optional
// fraction and exponent, no sign): false when it is not one.
bool parse_double(const char *text, size_t size, double *out);

// Unsigned decimal of v into out (room for 20); returns the length.
size_t format_uint(uint64_t v, char *out);

}  // namespace cbor_diag_number

#endif  // VANTRA_CBOR_DIAG_NUMBER_H
