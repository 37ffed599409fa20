import numpy as np
import pytest

import vantra_cbor
from vantra_cbor import dumps

SIGNATURE = ("(value: Union[bool, float, int, list, tuple, dict, bytes, str, bool, int, int, str, None], "
             "indefinite: bool = True, max_depth: int = 0) -> bytes")


def incompatible(invoked):
    return ("dumps(): incompatible function arguments. The following argument types are supported:\n"
            "    1. " + SIGNATURE + "\n\nInvoked with: " + invoked)


def test_module_attributes():
    assert vantra_cbor.__version__ == "6.7.8"
    assert vantra_cbor.__doc__ == (
        "\n        Vantra cbor\n        -----------------------\n\n        .. currentmodule:: vantra_cbor\n\n"
        "        .. autosummary::\n           :toctree: _generate\n\n           dumps\n    ")
    assert dumps.__name__ == "dumps"
    assert dumps.__doc__ == "dumps" + SIGNATURE + "\n\n\n    Dump a Python object to cbor\n    \n"


class BadRepr:
    def __repr__(self):
        raise ValueError("no repr")


@pytest.mark.parametrize("args, kwargs, invoked", [
    ((), {}, ""),
    ((1, True, 0, 5), {}, "1, True, 0, 5"),
    ((1,), {"foo": 2}, "1; kwargs: foo=2"),
    ((), {"indefinite": False}, "kwargs: indefinite=False"),
    ((1,), {"value": 1}, "1; kwargs: value=1"),
    (({1, 2},), {}, "{1, 2}"),
    ((bytearray(b"a"),), {}, "bytearray(b'a')"),
    ((BadRepr(),), {}, "<repr raised Error>"),
    ((1, "yes"), {}, "1, 'yes'"),
    ((1,), {"indefinite": []}, "1; kwargs: indefinite=[]"),
    ((1,), {"max_depth": -1}, "1; kwargs: max_depth=-1"),
    ((1,), {"max_depth": 1.0}, "1; kwargs: max_depth=1.0"),
    ((1,), {"max_depth": None}, "1; kwargs: max_depth=None"),
    ((1,), {"max_depth": 2**64}, "1; kwargs: max_depth=18446744073709551616"),
    ((1,), {"max_depth": "2"}, "1; kwargs: max_depth='2'"),
])
def test_incompatible_arguments(args, kwargs, invoked):
    with pytest.raises(TypeError) as e:
        dumps(*args, **kwargs)
    assert str(e.value) == incompatible(invoked)


@pytest.mark.parametrize("kwargs", [
    {}, {"indefinite": True, "max_depth": 0}, {"indefinite": 1}, {"indefinite": 2.5},
    {"indefinite": np.bool_(True)}, {"max_depth": 1}, {"max_depth": 2**64 - 1},
    {"max_depth": np.uint64(3)}, {"max_depth": True}, {"indefinite": False}, {"indefinite": None},
    {"indefinite": 0}, {"indefinite": 0.0}, {"indefinite": np.bool_(False)},
])
def test_accepted_options(kwargs):
    # Scalars are written alike in every mode.
    assert dumps(5, **kwargs) == b"\x05"
    assert dumps(value="a", **kwargs) == b"\x61a"


@pytest.mark.parametrize("flag, expected", [(True, "9f01bf61619fffffff"), (False, "8201a1616180")])
def test_positional_and_keyword_forms_agree(flag, expected):
    value = [1, {"a": []}]
    forms = [dumps(value, flag), dumps(value, indefinite=flag), dumps(value, flag, 0), dumps(value, flag, max_depth=9),
             dumps(value=value, indefinite=flag, max_depth=0), dumps(value, int(flag)), dumps(value, np.bool_(flag))]
    assert [f.hex() for f in forms] == [expected] * len(forms)
    assert dumps(-7) == dumps(-7, flag) == b"\x26"


def test_keywords_made_at_run_time():
    # Not interned, so matched by their text rather than their identity.
    assert dumps([1], **{"".join(["indef", "inite"]): False}) == b"\x81\x01"
    assert vantra_cbor.loads(b"\x81\x01", **{"".join(["max_", "depth"]): 1}) == [1]
    with pytest.raises(vantra_cbor.CBORDecodeError):
        vantra_cbor.loads(b"\x81\x81\x01", **{"".join(["max_", "depth"]): 1})
