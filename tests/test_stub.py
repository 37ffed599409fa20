"""The type stub ships once, beside the module, and agrees with it; checkers accept
what dumps takes and report what it refuses."""
import json
import os
import re
import subprocess
import sys

import pytest

import vantra_cbor

TYPED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "typed_calls.py")
with open(TYPED) as f:
    EXPECTED_ERRORS = [n for n, line in enumerate(f, 1) if line.rstrip().endswith("# error")]


def test_one_typed_package():
    package = os.path.dirname(vantra_cbor.__file__)
    assert os.path.basename(package) == "vantra_cbor"
    files = sorted(f for f in os.listdir(package) if f != "__pycache__")
    # Where the wheel's metadata cannot carry vendored licences (the build
    # backend for Python 3.7), they ship inside the package.
    licences = ["licenses"] if sys.version_info < (3, 8) else []
    assert files == sorted([os.path.basename(vantra_cbor.__file__), "__init__.pyi", "py.typed",
                            "__main__.py", "_cli.py"] + licences)


def test_stubtest():
    pytest.importorskip("mypy")  # not installed where the suite runs under emulation
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", "vantra_cbor"], capture_output=True, text=True)
    assert out.returncode == 0, out.stdout + out.stderr


def test_mypy(tmp_path):
    pytest.importorskip("mypy")  # not installed where the suite runs under emulation
    out = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path), TYPED],
                         capture_output=True, text=True, cwd=str(tmp_path))
    lines = [int(n) for n in re.findall(r"typed_calls\.py:(\d+): error", out.stdout)]
    assert sorted(set(lines)) == EXPECTED_ERRORS, out.stdout + out.stderr


def test_pyright(tmp_path):
    pytest.importorskip("pyright")  # not installed where the suite runs under emulation
    # By default pyright skips files under hidden directories, such as a .nox tree.
    (tmp_path / "pyrightconfig.json").write_text('{"exclude": []}')
    out = subprocess.run([sys.executable, "-m", "pyright", "--outputjson", "--project", "pyrightconfig.json",
                          "--pythonpath", sys.executable, TYPED], capture_output=True, text=True, cwd=str(tmp_path))
    report = json.loads(out.stdout)
    lines = [d["range"]["start"]["line"] + 1 for d in report["generalDiagnostics"] if d["severity"] == "error"]
    assert sorted(set(lines)) == EXPECTED_ERRORS, out.stdout + out.stderr
