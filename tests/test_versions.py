"""One build per interpreter: other versions refuse it, and integer rules follow the build."""
import json
import os
import platform
import shutil
import subprocess
import sys
import threading

import pytest

import vantra_cbor
from interpreters import SUPPORTED, find
from test_nesting import STACK_BUDGET, deepest_list_encoded
from vantra_cbor import dumps

OURS = "%d.%d" % sys.version_info[:2]
OTHERS = [v for v in SUPPORTED if v != OURS]

PROBE = """
import json, platform, sys
try:
    import vantra_cbor
    print(json.dumps(["imported", sys.version, platform.machine()]))
except ImportError as e:
    print(json.dumps([str(e), sys.version, platform.machine()]))
"""


@pytest.mark.parametrize("version", OTHERS)
def test_other_interpreters_refuse_this_build(version, tmp_path):
    interpreter = find(version)
    if not interpreter:
        pytest.skip("no python%s on this machine" % version)
    # A plainly named copy, so that the other interpreter tries to load it.
    shutil.copy(vantra_cbor.__file__, str(tmp_path / "vantra_cbor.so"))
    out = subprocess.run([interpreter, "-c", PROBE], cwd=str(tmp_path), capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=""))
    message, their_version, their_machine = json.loads(out.stdout)
    if their_machine != platform.machine():  # this build runs under an emulator
        pytest.skip("python%s is for %s, this build for %s" % (version, their_machine, platform.machine()))
    assert message == ("Python version mismatch: module was compiled for Python %s, but the interpreter "
                       "version is incompatible: %s." % (OURS, their_version))


class CountingIndex:
    def __init__(self, value):
        self.value, self.calls = value, 0

    def __index__(self):
        self.calls += 1
        return self.value


@pytest.mark.parametrize("value, expected, calls_37, calls_later", [
    (5, "05", 1, 1),
    (-5, "24", 2, 1),  # 3.7: the unsigned alternative converts first, and declines
    (2**63 + 1, "1b8000000000000001", 1, 2),  # later: too large for the signed one, taken on conversion
    (2**64 - 1, "1bffffffffffffffff", 1, 2),
])
def test_integer_like_objects_follow_the_build(value, expected, calls_37, calls_later):
    # The 3.7 build converts through __index__ for the unsigned alternative; later
    # builds leave that to the signed one. The calls differ, the bytes never do.
    obj = CountingIndex(value)
    assert dumps(obj).hex() == expected
    assert obj.calls == (calls_37 if sys.version_info < (3, 8) else calls_later)


def test_nesting_bound_follows_the_build():
    # Each container takes one level of the interpreter's own bound: up to 3.11
    # the recursion limit, in 3.12 and 3.13 a fixed count for C code (10000 in
    # 3.13), from 3.14 on the native stack alone, so that in a large stack values
    # nest deeper than any count allowed. The error is the same (test_nesting).
    depth = 100000
    deep = 0
    for _ in range(depth):
        deep = [deep]
    found = []

    def measure():
        for limit in (3000, 5000):
            sys.setrecursionlimit(limit)
            found.append(deepest_list_encoded(deep, depth))

    limit, size = sys.getrecursionlimit(), threading.stack_size(16 << 20)
    try:
        thread = threading.Thread(target=measure)
        thread.start()
        thread.join()
    finally:
        sys.setrecursionlimit(limit)
        threading.stack_size(size)
    at_3000, at_5000 = found
    if STACK_BUDGET:  # some 400 levels, whatever the interpreter allows
        assert at_5000 == at_3000 < 1000
    elif sys.version_info < (3, 12):
        assert at_5000 - at_3000 == 2000
    elif sys.version_info < (3, 14):
        assert at_5000 == at_3000 <= 10000
    else:
        assert at_5000 == at_3000 > 10000
