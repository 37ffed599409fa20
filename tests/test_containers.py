import collections
import decimal
import sys

import pytest

from vantra_cbor import dumps

CAST_ERROR = "Unable to cast Python instance to C++ type (compile in debug mode for details)"
MODES = [dict(indefinite=i, max_depth=d) for i in (False, True) for d in (0, 100)]
Point = collections.namedtuple("Point", "x y")
ITEMS_0_TO_23 = " ".join("%02x" % i for i in range(24))

# value, definite hex, indefinite hex
CONTAINERS = [
    ([], "80", "9f ff"), ((), "80", "9f ff"), ({}, "a0", "bf ff"),
    ([1, 2], "82 01 02", "9f 01 02 ff"), ((1, 2), "82 01 02", "9f 01 02 ff"),
    ({"a": 1}, "a1 61 61 01", "bf 61 61 01 ff"),
    ({"a": [1, 2.5]}, "a1 61 61 82 01 f9 41 00", "bf 61 61 9f 01 f9 41 00 ff ff"),
    ([[]], "81 80", "9f 9f ff ff"), ([[], {}], "82 80 a0", "9f 9f ff bf ff ff"),
    ([None, True, False, -1, "x", b"y"], "86 f6 f5 f4 20 61 78 41 79", "9f f6 f5 f4 20 61 78 41 79 ff"),
    ({(1, 2): "t"}, "a1 82 01 02 61 74", "bf 9f 01 02 ff 61 74 ff"),  # a tuple key is an array key
    ({1: {2: [3]}}, "a1 01 a1 02 81 03", "bf 01 bf 02 9f 03 ff ff ff"),
    (list(range(24)), "98 18 " + ITEMS_0_TO_23, "9f " + ITEMS_0_TO_23 + " ff"),
    (collections.OrderedDict([("b", 1), ("a", 2)]), "a2 61 62 01 61 61 02", "bf 61 62 01 61 61 02 ff"),
    (collections.defaultdict(int, {"k": 0}), "a1 61 6b 00", "bf 61 6b 00 ff"),
    (Point(1, -1), "82 01 20", "9f 01 20 ff"),
    ([b"ab" * 20], "81 58 28" + "6162" * 20, "9f 58 28" + "6162" * 20 + "ff"),  # strings stay definite
]


@pytest.mark.parametrize("value, definite, indefinite", CONTAINERS, ids=repr)
@pytest.mark.parametrize("mode", MODES, ids=str)
def test_containers(mode, value, definite, indefinite):
    expected = indefinite if mode["indefinite"] else definite
    assert dumps(value, **mode) == bytes.fromhex(expected)


def test_default_mode_is_indefinite_without_limit():
    value = {"a": [1, 2.5]}
    assert dumps(value) == dumps(value, True, 0) == bytes.fromhex("bf61619f01f94100ffff")


def nested_lists(levels, innermost):
    value = innermost
    for _ in range(levels):
        value = [value]
    return value


@pytest.mark.parametrize("max_depth", [1, 2, 3, 10, 64])
@pytest.mark.parametrize("indefinite", [False, True])
def test_depth_boundary(max_depth, indefinite):
    # The top-level value is at depth 0, its elements at 1, and so on.
    for deepest in (nested_lists(max_depth, 0), nested_lists(max_depth, [])):
        dumps(deepest, indefinite, max_depth)
    for deeper in (nested_lists(max_depth + 1, 0), nested_lists(max_depth + 1, [])):
        with pytest.raises(RuntimeError) as e:
            dumps(deeper, indefinite, max_depth)
        assert str(e.value) == "Exceeded recursion limit:%d" % max_depth


@pytest.mark.parametrize("value, max_depth, message", [
    ([[1]], 1, "Exceeded recursion limit:1"),
    ({"k": {"j": 1}}, 1, "Exceeded recursion limit:1"),
    ({"k": {"j": 1}}, 2, None),
    ({(1,): 0}, 1, "Exceeded recursion limit:1"),  # a tuple key's items are one level deeper
    ([[object()]], 1, "Exceeded recursion limit:1"),  # depth is checked before classification
    ([object()], 1, CAST_ERROR),
    ([1, {2, 3}], 0, CAST_ERROR), ([bytearray()], 0, CAST_ERROR), ({"a": object()}, 0, CAST_ERROR),
    ({frozenset(): 1}, 0, CAST_ERROR), ([1j], 0, CAST_ERROR), ([decimal.Decimal("0.1")], 0, CAST_ERROR),
    (5, 1, None), ("top", 2**64 - 1, None),
])
@pytest.mark.parametrize("indefinite", [False, True])
def test_errors(value, max_depth, message, indefinite):
    if message is None:
        dumps(value, indefinite, max_depth)
        return
    with pytest.raises(RuntimeError) as e:
        dumps(value, indefinite, max_depth)
    assert str(e.value) == message


def test_no_leaks_when_containers_fail():
    held = [object() for _ in range(3)]
    values = [[1, held[0], {2, 3}], {"a": held[1], "b": object()}, [[held[2]]]]
    before = [sys.getrefcount(h) for h in held]
    for _ in range(1000):
        for i in range(len(values)):
            with pytest.raises(RuntimeError):
                dumps(values[i], max_depth=1 if i == 2 else 0)
    assert [sys.getrefcount(h) for h in held] == before
