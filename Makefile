# Everything runs in a project-local virtual environment made from $(PYTHON).
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python

.PHONY: demo test bench

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Install the module and show what it writes.
demo: $(PY)
	$(PY) -m pip install -q .
	$(PY) examples/demo.py

# Install the test dependencies and the module, then run every test.
test: $(PY)
	$(PY) -m pip install -q -r requirements-test.txt
	$(PY) -m pip install -q .
	$(PY) -m pytest

# Encoding speed and peak memory against peers: tables and chart in bench/results/.
# (bench/instructions.py counts instructions per call under callgrind.)
bench: $(PY)
	$(PY) -m pip install -q -r bench/requirements.txt
	$(PY) -m pip install -q .
	$(PY) bench/bench.py
