#!/usr/bin/env python3
"""Fuzzes diag and from_diag.

The first byte picks the side. Even: the rest is CBOR (a sequence). diag must
write it or refuse it with CBORDecodeError (where the well-formedness check
agrees); what it writes, from_diag must turn back into the same bytes, with
and without indentation. Odd: the rest is text. from_diag must read it or
refuse it with DiagDecodeError; what it makes must be well-formed, and must
come back unchanged through diag and from_diag. Anything else, a crash, or a
sanitizer report is a finding. CBOR input sits in a malloc block of its exact
size, so that a read past it is reported.
"""
import ctypes as C
import sys

import atheris

import vantra_cbor
from vantra_cbor import CBORDecodeError, DiagDecodeError, diag, from_diag

libc = C.CDLL(None)
libc.malloc.restype = C.c_void_p
libc.malloc.argtypes = [C.c_size_t]
libc.free.argtypes = [C.c_void_p]


class Finding(AssertionError):
    """What the fuzzer should stop on."""


def cbor_side(data):
    n = len(data)
    buf = libc.malloc(n or 1)  # exactly n bytes: a read past them is reported
    if not buf:
        raise MemoryError()
    try:
        C.memmove(buf, data, n)
        view = memoryview((C.c_char * n).from_address(buf)).cast("B")
        try:
            try:
                text = diag(view, sequence=True)
            except CBORDecodeError as e:
                well_formed = vantra_cbor._check(view, True)[0]
                if well_formed is None or well_formed[0] != e.pos:
                    raise Finding("diag refused at byte %d, the check says %r" % (e.pos, well_formed))
                return
            if vantra_cbor._check(view, True)[0] is not None:
                raise Finding("diag read what the check calls malformed")
            indented = diag(view, sequence=True, indent=data[0] % 5) if n else ""
        finally:
            view.release()
    finally:
        libc.free(buf)
    for t in (text, indented):
        again = from_diag(t, sequence=True)
        if again != data:
            raise Finding("%r came back as %r through %r" % (data, again, t))


def text_side(data):
    text = data.decode("utf-8", "replace")
    try:
        made = from_diag(text, sequence=len(data) % 3 != 0)
    except DiagDecodeError as e:
        if not 0 <= e.pos <= len(text) or e.lineno < 1 or e.colno < 1:
            raise Finding("a place outside the text: %r" % e)
        return
    again = diag(made, sequence=True)  # from_diag makes only well-formed CBOR
    if from_diag(again, sequence=True) != made:
        raise Finding("%r came back changed through %r" % (made, again))


def TestOneInput(data):
    if not data:
        return
    if data[0] & 1:
        text_side(data[1:])
    else:
        cbor_side(data[1:])


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
