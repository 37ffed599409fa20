import json
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(scope="session")
def failalloc(tmp_path_factory):
    """Runs Python code in a subprocess whose allocations can fail on demand.

    The code sees `arm(n)` (fail the nth allocation from now on, 0 for none),
    `arm_from(n)` (fail the nth and all after it), `disarm()` (the number made
    since arm) and `emit(obj)` (sent back as JSON).
    """
    if sys.platform != "linux":
        pytest.skip("allocation failures are injected by a library preloaded as Linux does it")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("allocation failures are injected under the plain allocator, not AddressSanitizer's")
    lib = tmp_path_factory.mktemp("failalloc") / "failalloc.so"
    cc = sysconfig.get_config_var("CC") or "cc"
    subprocess.run(cc.split()[:1] + ["-shared", "-fPIC", "-O1", "-o", str(lib),
                                     os.path.join(HERE, "failalloc.c")], check=True)
    prelude = textwrap.dedent("""
        import ctypes, json, sys
        _shim = ctypes.CDLL(None)
        arm, arm_from, disarm = _shim.failalloc_arm, _shim.failalloc_arm_from, _shim.failalloc_disarm
        arm.argtypes = arm_from.argtypes = [ctypes.c_long]
        disarm.restype = ctypes.c_long
        def emit(obj):
            print(json.dumps(obj))
    """)

    def run(code):
        env = dict(os.environ, LD_PRELOAD=str(lib), PYTHONPATH=HERE)
        proc = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                              env=env, capture_output=True, text=True, timeout=600)
        assert proc.returncode == 0, proc.stderr
        return [json.loads(line) for line in proc.stdout.splitlines()]

    return run
