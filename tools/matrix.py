"""Build a wheel per supported interpreter and run the whole suite against it.

    python tools/matrix.py [3.7 3.8 ...]

For every supported CPython minor version found under pyenv (or on PATH as
pythonX.Y), this builds a wheel with `pip wheel .`, installs it into a fresh
virtual environment of that interpreter with the test dependencies, and runs
pytest there. Interpreters that are missing are reported as skipped. Exits
non-zero when any build or test run fails.
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time

SUPPORTED = ["3.7", "3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def find_interpreter(version):
    """The newest pyenv build of this minor version, else pythonX.Y on PATH."""
    pyenv_root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    builds = glob.glob(os.path.join(pyenv_root, "versions", version + ".*", "bin", "python" + version))
    builds = [b for b in builds if os.path.basename(os.path.dirname(os.path.dirname(b)))
              .replace(version + ".", "", 1).isdigit()]
    if builds:
        return max(builds, key=lambda b: int(b.split(os.sep)[-3].split(".")[2]))
    return shutil.which("python" + version)


def run(cmd, log, **kwargs):
    log.write("$ " + " ".join(cmd) + "\n")
    log.flush()
    return subprocess.run(cmd, stdout=log, stderr=subprocess.STDOUT, **kwargs).returncode == 0


def test_version(version, interpreter, work):
    """Builds, installs and tests; returns (ok, summary line, log path)."""
    env_dir = os.path.join(work, "venv-" + version)
    wheels = os.path.join(work, "wheels-" + version)
    log_path = os.path.join(work, "log-" + version + ".txt")
    with open(log_path, "w") as log:
        python = os.path.join(env_dir, "bin", "python")
        steps = [
            [interpreter, "-m", "venv", env_dir],
            [python, "-m", "pip", "install", "-q", "--upgrade", "pip"],
            [python, "-m", "pip", "wheel", "-q", "--no-deps", "-w", wheels, ROOT],
        ]
        for step in steps:
            if not run(step, log):
                return False, "build failed", log_path
        wheel = glob.glob(os.path.join(wheels, "vantra_cbor-*.whl"))
        if not (run([python, "-m", "pip", "install", "-q", "-r", os.path.join(ROOT, "requirements-test.txt")]
                    + wheel, log)):
            return False, "install failed", log_path
        # Run from outside the checkout, so only the installed wheel is imported.
        ok = run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-c", os.path.join(ROOT, "pyproject.toml"),
                  "--rootdir", ROOT, os.path.join(ROOT, "tests")], log, cwd=work)
    with open(log_path) as f:
        lines = [line.strip() for line in f if " passed" in line or " failed" in line or " error" in line]
    return ok, lines[-1] if lines else "no test summary", log_path


def main():
    versions = sys.argv[1:] or SUPPORTED
    work = tempfile.mkdtemp(prefix="vantra-matrix-")
    results, failed = [], False
    for version in versions:
        interpreter = find_interpreter(version)
        if not interpreter:
            results.append((version, "skipped: no python%s on this machine" % version))
            continue
        started = time.time()
        ok, summary, log_path = test_version(version, interpreter, work)
        failed |= not ok
        results.append((version, "%s  %s (%.0f s)%s" % ("ok  " if ok else "FAIL", summary, time.time() - started,
                                                         "" if ok else ", log: " + log_path)))
        print("%-5s %s" % results[-1], flush=True)
    print("\nInterpreter matrix:")
    for version, line in results:
        print("  %-5s %s" % (version, line))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
