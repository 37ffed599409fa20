# Everything runs in a project-local virtual environment made from $(PYTHON).
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: demo check test test-all check-package bench test-asan fuzz check-floats test-portable check-cross check-foreign

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Install the module and show what it writes.
demo: $(PY)
	$(PY) -m pip install -q .
	$(PY) examples/demo.py

# Every test: the suite, the interpreter matrix, the release files, the sanitizer
# build, the portable build, the macOS cross-compiles, the emulated aarch64 and
# s390x runs, the fuzzers and the wheel's platform tag.
check: test test-asan test-portable check-cross check-foreign check-wheel check-package fuzz test-all

# Install the test dependencies and the module, then run the suite.
test: $(PY)
	$(PY) -m pip install -q -r requirements-test.txt
	$(PY) -m pip install -q .
	$(PY) -m pytest

# A wheel per supported interpreter (3.7 to 3.15), each tested in a fresh
# virtual environment with the demo; missing interpreters are skipped. pyenv
# (or PATH) has 3.7 to 3.13; 3.14 and 3.15 are set up from Debian's testing
# packages in ~/.cache/vantra-pythons (tools/debian_pythons.py: 15 to 30 s the
# first time, under a second after; where that fails, as without dpkg or the
# archive, they are skipped like any missing one). DEBIAN_PYTHONS= skips that setup.
DEBIAN_PYTHONS ?= 3.14 3.15

test-all: $(PY)
	$(PY) -m pip install -q "nox>=2023.4.22"
	$(if $(strip $(DEBIAN_PYTHONS)),$(PY) tools/debian_pythons.py $(DEBIAN_PYTHONS) > /dev/null \
		|| echo "test-all: could not set up Python $(DEBIAN_PYTHONS) from Debian's packages; nox skips what it cannot find")
	$(PY) -m nox

# The sdist and the wheel built from it: the sdist ships only what building and
# testing need (the suite runs from it), the wheel passes check-wheel-contents.
check-package: $(PY)
	$(PY) -m pip install -q "nox>=2023.4.22"
	$(PY) -m nox -s package

# The float width of every single-precision pattern (and its neighbouring
# doubles) against the compiler's own conversions: about ten minutes, so not
# part of check (the suite checks every half and random singles and doubles).
check-floats: $(PY)
	$(PY) -m pip install -q .
	mkdir -p build
	$(CC) -O2 -Wall -Wextra -shared -fPIC tools/float_widths.c -o build/float_widths.so -ldl
	$(PY) -c 'import ctypes, vantra_cbor; exit(ctypes.CDLL("build/float_widths.so").check(vantra_cbor.__file__.encode()))'

# Encoding and decoding speed (single items and sequences), peak memory, and the
# cost of rejecting malformed input, against peers: tables and charts in
# bench/results/ (diag and from_diag against cbor-diag: a table).
# (bench/instructions.py counts instructions per call under callgrind.)
bench: $(PY)
	$(PY) -m pip install -q -r bench/requirements.txt
	$(PY) -m pip install -q .
	$(PY) bench/bench.py
	$(PY) bench/bench_loads.py
	$(PY) bench/bench_streams.py
	$(PY) bench/bench_reject.py
	$(PY) bench/bench_diag.py
	$(PY) bench/bench_references.py

# The whole suite against a build instrumented with AddressSanitizer and
# UndefinedBehaviorSanitizer (gcc's runtimes, preloaded: the interpreter is not
# instrumented). Leak reports are off: the interpreter keeps memory at exit.
# PYTHONMALLOC=malloc: every object a block of its own that the sanitizer
# watches, where the interpreter's allocator would hide a read past one.
ASAN_VENV ?= .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
SANITIZER_PRELOAD = $(shell gcc -print-file-name=libasan.so) $(shell gcc -print-file-name=libstdc++.so)

test-asan:
	$(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install -q --upgrade pip
	$(ASAN_PY) -m pip install -q -r requirements-test.txt
	$(ASAN_PY) -m pip install -q . --config-settings=cmake.define.VANTRA_SANITIZE=address,undefined \
		--config-settings=install.strip=false
	LD_PRELOAD="$(SANITIZER_PRELOAD)" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(ASAN_PY) -m pytest -p no:cacheprovider

# The whole suite against the portable build (VANTRA_PORTABLE: every compiler
# and processor feature left to its plain C++ fallback, simdutf to its scalar
# code), which other compilers and machines take: see codec/portable.h.
PORTABLE_VENV ?= .venv-portable
PORTABLE_PY := $(PORTABLE_VENV)/bin/python

test-portable:
	$(PYTHON) -m venv $(PORTABLE_VENV)
	$(PORTABLE_PY) -m pip install -q --upgrade pip
	$(PORTABLE_PY) -m pip install -q -r requirements-test.txt
	$(PORTABLE_PY) -m pip install -q . --config-settings=cmake.define.VANTRA_PORTABLE=ON
	VANTRA_TEST_STACK_BUDGET=1 $(PORTABLE_PY) -m pytest -p no:cacheprovider

# Every source compiled for macOS on Apple silicon and on x86-64 by zig's clang
# (the ziglang package), our code with warnings as errors, and linked into a
# bundle that leaves the interpreter's symbols (and no symbol of ours) to the
# loader, and once more as the portable build (clang, -Wpedantic); the codec
# alone for Windows on x86-64 (MinGW), linked into a DLL that
# must export what its header declares. Compiled and linked only, never run
# (about three minutes). CROSS_TARGETS picks other targets.
CROSS_VENV ?= .venv-cross
CROSS_PY := $(CROSS_VENV)/bin/python
CROSS_TARGETS ?= aarch64-macos x86_64-macos x86_64-windows-gnu

check-cross:
	$(PYTHON) -m venv $(CROSS_VENV)
	$(CROSS_PY) -m pip install -q "ziglang==0.17.1" "pybind11==2.9.2"
	$(CROSS_PY) tools/check_cross.py $(CROSS_TARGETS)

# The module cross-compiled for aarch64 and for big-endian s390x Linux by Debian's
# GCC against Debian's CPython 3.11 for each (tools/debian_pythons.py), and the
# demo and the suite run there under qemu-user-static (tools/check_foreign.py;
# apt installs the emulators and compilers when missing): the two suites side by
# side, about five to seven minutes in all. FOREIGN_SUITE=trimmed runs only the byte-exact
# tables, round trips, hostile input, typed arrays and the small-stack threads.
FOREIGN_VENV ?= .venv-foreign
FOREIGN_PY := $(FOREIGN_VENV)/bin/python
FOREIGN_ARCHS ?= arm64 s390x
FOREIGN_SUITE ?= full

check-foreign:
	$(PYTHON) -m venv $(FOREIGN_VENV)
	$(FOREIGN_PY) -m pip install -q "pybind11==2.9.2"
	$(FOREIGN_PY) tools/check_foreign.py --suite $(FOREIGN_SUITE) $(FOREIGN_ARCHS)

# Coverage-guided fuzzing (atheris) of dumps, loads, diag, from_diag and the
# codec's reader, built with clang, AddressSanitizer and UBSan; FUZZ_SECONDS per
# harness. Installs clang from Debian when it is missing. FUZZ_MERGE=1 keeps new
# coverage in fuzz/corpus.
FUZZ_SECONDS ?= 60

fuzz:
	PYTHON=$(PYTHON) bash fuzz/run.sh $(FUZZ_SECONDS)

# A wheel built here must install on the Linux systems users have: auditwheel
# repair refuses one that needs newer glibc (or C++ runtime) symbol versions
# than manylinux_2_17 allows.
WHEEL_CHECK_DIR ?= build/check-wheel
.PHONY: check-wheel
check-wheel: $(PY)
	$(PY) -m pip install -q -r requirements-wheel.txt
	rm -rf $(WHEEL_CHECK_DIR)
	$(PY) -m pip wheel -q . --no-deps -w $(WHEEL_CHECK_DIR)
	$(VENV)/bin/auditwheel show $(WHEEL_CHECK_DIR)/vantra_cbor-*.whl
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat manylinux_2_17_x86_64 \
		-w $(WHEEL_CHECK_DIR)/repaired $(WHEEL_CHECK_DIR)/vantra_cbor-*.whl
