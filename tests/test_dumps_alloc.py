"""dumps when allocations fail: the right bytes or an exception, never a truncated result."""
import json
import os
import subprocess
import sys

import pytest

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


# A call that runs out of address space fails about as fast as it would succeed:
# measured in the process's CPU time, which other processes on the machine do not lengthen.
OUT_OF_MEMORY = """
import json, resource, time
from vantra_cbor import dumps

value = [2**40] * 4000000  # 9 bytes an item
start = time.process_time(); dumps(value); succeeded = time.process_time() - start
mapped = int([l.split()[1] for l in open("/proc/self/status") if l.startswith("VmSize")][0]) * 1024
failed = []
# User-mode emulators (qemu-user) take the limit but do not apply it.
resource.setrlimit(resource.RLIMIT_AS, (mapped + (64 << 20), resource.RLIM_INFINITY))
try:
    bytearray(256 << 20)
    enforced = False
except MemoryError:
    enforced = True
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
for share in (0.5, 0.75, 1.0, 1.25) if enforced else ():  # of the result's size, beyond what is mapped now
    cap = mapped + int(share * 9 * len(value))
    resource.setrlimit(resource.RLIMIT_AS, (cap, resource.RLIM_INFINITY))
    start = time.process_time()
    try:
        dumps(value)
        outcome = "ok"
    except MemoryError:
        outcome = "MemoryError"
    except RuntimeError as e:
        outcome = str(e)
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    failed.append([outcome, time.process_time() - start])
print(json.dumps([succeeded, failed]))
"""


@pytest.mark.skipif(sys.platform != "linux", reason="the address space is limited and measured as Linux does it")
def test_out_of_memory_fails_in_time():
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer maps far more address space than the limits here allow")
    proc = subprocess.run([sys.executable, "-c", OUT_OF_MEMORY], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    succeeded, failed = json.loads(proc.stdout)
    if not failed:
        pytest.skip("the address space limit is not applied here")
    for outcome, seconds in failed:
        assert outcome in ("MemoryError", "Could not allocate bytes object!")
        assert seconds < 3 * succeeded + 0.2, (succeeded, failed)
