"""dumps when allocations fail: the right bytes or an exception, never a truncated result."""

# Results larger than the per-thread spare block, so every call grows its output.
CASES = """
from vantra_cbor import dumps

values = [list(range(30000)), "x" * 100000, [b"y" * 1000] * 80, [1.5, 0.1] * 20000,
          {str(i): [i, None] for i in range(10000)}, [[2**40, -5]] * 10000]
for value in values:
    for args in [(), (False,), (True, 100)]:
        expected = dumps(value, *args)
        arm(0); dumps(value, *args); made = disarm()
        outcomes = []
        for nth, fail in [(n, f) for n in range(1, made + 1) for f in (arm, arm_from)]:
            fail(nth)  # the nth allocation fails (arm_from: and every later one)
            try:
                got = dumps(value, *args) == expected
            except MemoryError:
                got = "MemoryError"
            except BaseException as e:
                got = repr(e)
            disarm()
            outcomes.append(got)
        emit([repr(value)[:30], args, made, outcomes])
"""


def test_failed_allocations_raise(failalloc):
    for value, args, made, outcomes in failalloc(CASES):
        assert made >= 1 and len(outcomes) == 2 * made, (value, args)
        assert set(outcomes) <= {True, "MemoryError", "RuntimeError('Could not allocate bytes object!')"}, \
            (value, args, outcomes)
        assert "MemoryError" in outcomes, (value, args)
