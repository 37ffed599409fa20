"""The type stub ships beside the module and agrees with it."""
import os
import subprocess
import sys

import vantra_cbor


def test_stub_is_installed():
    site = os.path.dirname(vantra_cbor.__file__)
    assert os.path.isfile(os.path.join(site, "vantra_cbor.pyi"))
    assert os.path.isfile(os.path.join(site, "vantra_cbor-stubs", "__init__.pyi"))


def test_stubtest():
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vantra_cbor"], capture_output=True, text=True)
    assert out.returncode == 0, out.stdout + out.stderr


def test_stub_types_check(tmp_path):
    use = tmp_path / "use.py"
    use.write_text("import vantra_cbor\n"
                   "data: bytes = vantra_cbor.dumps({'a': [1, 2.5]}, indefinite=False, max_depth=3)\n"
                   "version: str = vantra_cbor.__version__\n"
                   "vantra_cbor.dumps(1, max_depth='deep')\n")
    out = subprocess.run([sys.executable, "-m", "mypy", str(use)], capture_output=True, text=True)
    # Only the string max_depth is an error.
    assert "use.py:4: error" in out.stdout and out.stdout.count(": error") == 1, out.stdout
