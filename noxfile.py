"""The interpreter matrix (make test-all) and the release files (make check-package)."""
import glob
import os
import platform
import re
import sys
import tarfile
import zipfile

import nox

ROOT = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from interpreters import SUPPORTED, find  # noqa: E402

# nox looks for pythonX.Y on PATH: pyenv's builds go first.
os.environ["PATH"] = os.pathsep.join([os.path.dirname(p) for p in map(find, SUPPORTED) if p] + [os.environ["PATH"]])
nox.options.sessions = ["tests"]
nox.options.default_venv_backend = "venv"
nox.options.error_on_missing_interpreters = False


def run_suite(session, wheel, tests_root):
    """Installs the wheel and runs the suite from outside the sources, so only the wheel is imported."""
    session.install("-q", "-r", os.path.join(tests_root, "requirements-test.txt"), wheel)
    session.chdir(os.path.abspath(session.create_tmp()))
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", tests_root,
                "-c", os.path.join(tests_root, "pyproject.toml"), os.path.join(tests_root, "tests"))


@nox.session(python=SUPPORTED)
def tests(session):
    """A wheel built by this interpreter, in a fresh environment: the whole suite, then the demo."""
    session.install("-q", "--upgrade", "pip")
    wheels = os.path.join(os.path.abspath(session.create_tmp()), "wheels")
    session.run("python", "-m", "pip", "wheel", "-q", "--no-deps", "-w", wheels, ROOT)
    run_suite(session, glob.glob(os.path.join(wheels, "vantra_cbor-*.whl"))[0], ROOT)
    session.run("python", os.path.join(ROOT, "examples", "demo.py"))


# What building and testing from the sdist need: nothing else is shipped.
SDIST = {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "requirements-test.txt",
         "tools/build_backend.py", "codec", "binding", "third_party", "tests", "examples"}


# Release wheels come from two cibuildwheel configurations: 2.x, the last that
# builds 3.7, makes those up to 3.13 (pyproject.toml); a current one, which
# needs Python 3.11 to run, those from 3.14 on (cibuildwheel-314.toml).
def minor(version):
    return tuple(int(part) for part in version.split("."))


RELEASES = [("requirements-release.txt", None, [v for v in SUPPORTED if minor(v) < (3, 14)]),
            ("requirements-release-314.txt", "cibuildwheel-314.toml", [v for v in SUPPORTED if minor(v) >= (3, 14)])]


def check_selection(session, requirements, config, versions):
    """The wheels that cibuildwheel, installed from requirements, selects with config are those of versions."""
    venv = os.path.join(os.path.abspath(session.create_tmp()), requirements[:-len(".txt")])
    session.run(sys.executable, "-m", "venv", "--clear", venv, external=True)
    session.run(os.path.join(venv, "bin", "python"), "-m", "pip", "install", "-q", "-r",
                os.path.join(ROOT, requirements), external=True)
    options = ["--config-file", os.path.join(ROOT, config)] if config else []
    selected = session.run(os.path.join(venv, "bin", "cibuildwheel"), "--print-build-identifiers", "--platform",
                           "linux", *options, ROOT, silent=True, external=True)
    wanted = {"cp%s-%slinux_%s" % (v.replace(".", ""), libc, platform.machine())
              for v in versions for libc in ("many", "musl")}
    if set(selected.split()) != wanted:
        session.error("cibuildwheel (%s) builds %s, not %s" % (requirements, sorted(selected.split()), sorted(wanted)))


def check_metadata(session, wheel):
    """The wheel's Requires-Python and version classifiers say what the matrix tests."""
    with zipfile.ZipFile(wheel) as whl:
        (name,) = [n for n in whl.namelist() if n.endswith(".dist-info/METADATA")]
        lines = whl.read(name).decode().splitlines()
    prefix = "Classifier: Programming Language :: Python :: "
    versions = [line[len(prefix):] for line in lines if re.fullmatch(re.escape(prefix) + r"3\.\d+", line)]
    requires = [line for line in lines if line.startswith("Requires-Python:")]
    if versions != SUPPORTED or requires != ["Requires-Python: >=%s" % SUPPORTED[0]]:
        session.error("the wheel's metadata says %s, %s; the matrix tests %s" % (versions, requires, SUPPORTED))


@nox.session
def package(session):
    """The release builds' selections; the sdist and the wheel built from it: check-wheel-contents,
    the sdist's files, the suite run from the sdist."""
    if sys.version_info < (3, 11):
        session.error("the current cibuildwheel needs Python 3.11 or later: make check-package PYTHON=python3.11")
    for requirements, config, versions in RELEASES:
        check_selection(session, requirements, config, versions)
    session.install("-q", "-r", os.path.join(ROOT, "requirements-release.txt"))
    dist = os.path.join(os.path.abspath(session.create_tmp()), "dist")
    session.run("python", "-m", "build", "-o", dist, ROOT)
    (sdist,), (wheel,) = glob.glob(os.path.join(dist, "*.tar.gz")), glob.glob(os.path.join(dist, "*.whl"))
    session.run("check-wheel-contents", wheel)
    check_metadata(session, wheel)
    with tarfile.open(sdist) as tar:
        names = [m.name.split("/", 1)[1] for m in tar.getmembers() if m.isfile()]
        tar.extractall(dist)
    session.log("sdist: %d files\n  %s", len(names), "\n  ".join(sorted(names)))
    unexpected = [n for n in names if n not in SDIST and n.split("/")[0] not in SDIST]
    if unexpected:
        session.error("the sdist ships what neither building nor testing needs: %s" % unexpected)
    run_suite(session, wheel, sdist[:-len(".tar.gz")])
