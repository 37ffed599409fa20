"""Random documents, encoded in every mode, read back by an independent decoder and by loads."""
import math
import struct

import cbor2
from hypothesis import given, settings, strategies as st

from vantra_cbor import dumps, loads

scalars = (st.none() | st.booleans() | st.integers(-2**63, 2**64 - 1) | st.floats()
           | st.text() | st.binary())
keys = st.recursive(scalars.filter(lambda x: not isinstance(x, float) or not math.isnan(x)),
                    lambda inner: st.lists(inner, max_size=3).map(tuple), max_leaves=6)
documents = st.recursive(
    scalars,
    lambda inner: (st.lists(inner, max_size=6) | st.lists(inner, max_size=6).map(tuple)
                   | st.dictionaries(keys, inner, max_size=6)),
    max_leaves=40)


def same(expected, got, key=False):
    """Equal value and type, tuples read back as lists (as tuples in keys), floats by bits."""
    if isinstance(expected, tuple):
        assert type(got) is (tuple if key else list)
        assert len(got) == len(expected)
        for e, g in zip(expected, got):
            same(e, g, key)
    elif isinstance(expected, list):
        assert type(got) is list and len(got) == len(expected)
        for e, g in zip(expected, got):
            same(e, g)
    elif isinstance(expected, dict):
        assert type(got) is dict and len(got) == len(expected)
        for (ek, ev), (gk, gv) in zip(expected.items(), got.items()):
            same(ek, gk, key=True)
            same(ev, gv)
    elif isinstance(expected, float):
        assert type(got) is float
        assert (math.isnan(expected) and math.isnan(got)) or \
            struct.pack(">d", expected) == struct.pack(">d", got)
    else:
        assert type(got) is type(expected) and got == expected


@settings(max_examples=400, deadline=None)
@given(documents)
def test_documents_read_back(doc):
    for indefinite in (False, True):
        for max_depth in (0, 1000):
            data = dumps(doc, indefinite, max_depth)
            same(doc, cbor2.loads(data))
            same(doc, loads(data))
