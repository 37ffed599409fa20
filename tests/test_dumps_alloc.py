"""dumps when allocations fail: the right bytes or MemoryError, never a truncated result."""

CASES = """
from vantra_cbor import dumps

for value in [2**40, -5, "hello" * 10, b"ab", 1.5, None, True]:
    expected = dumps(value)
    arm(0); dumps(value); made = disarm()
    outcomes = []
    for nth in range(1, made + 1):
        arm(nth)
        try:
            got = dumps(value)
        except MemoryError:
            got = "MemoryError"
        except BaseException as e:
            got = repr(e)
        disarm()
        outcomes.append(got if isinstance(got, str) else got == expected)
    emit([repr(value), made, outcomes])
"""


def test_failed_allocations_raise_memory_error(failalloc):
    for value, made, outcomes in failalloc(CASES):
        assert made >= 1 and len(outcomes) == made
        assert set(outcomes) <= {True, "MemoryError"}, value
        assert "MemoryError" in outcomes, value
