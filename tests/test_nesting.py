"""Deep, self-referential and mutating containers, each in a process that must exit normally."""
import json
import os
import re
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import vantra_cbor


def run(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    return [json.loads(line) for line in proc.stdout.splitlines()]


# Set for a build that takes a fixed stack budget rather than looking its stacks up (make test-portable).
STACK_BUDGET = bool(os.environ.get("VANTRA_TEST_STACK_BUDGET"))


def skip_below_stack_minimum(kib):
    """Threads smaller than the system allows cannot be made: aarch64 Linux's start at 128 KiB."""
    names = getattr(os, "sysconf_names", {})
    if "SC_THREAD_STACK_MIN" in names and kib * 1024 < os.sysconf("SC_THREAD_STACK_MIN"):
        pytest.skip("threads have at least %d KiB of stack here" % (os.sysconf("SC_THREAD_STACK_MIN") // 1024))
    if STACK_BUDGET and kib < 128:
        pytest.skip("a build that budgets 128 KiB of stack cannot bound a thread with less")


MODES = "[(i, d) for i in (False, True) for d in (0, 10**9)]"

DEEP = """
import json, sys, threading
from vantra_cbor import dumps

def outcome(value, *args):
    try:
        dumps(value, *args)
        return "ok"
    except RecursionError as e:
        return "RecursionError: " + str(e)
    except RuntimeError as e:
        return "RuntimeError: " + str(e)

deep_list, deep_dict, deep_tuple = [], {}, ()
for _ in range(300000):
    deep_list, deep_dict, deep_tuple = [deep_list], {"k": deep_dict}, (deep_tuple,)
own_list = [1]; own_list.append(own_list)
own_dict = {}; own_dict["me"] = own_dict
values = [deep_list, deep_dict, deep_tuple, own_list, own_dict]

def report(label):
    print(json.dumps([label, [outcome(v, i, d) for v in values for i, d in %s]]))
    print(json.dumps([label + " limited", [outcome(v, True, 50) for v in values]]))

report("default")
sys.setrecursionlimit(10**8)  # only the native stack bound is left
report("no recursion limit")
threading.stack_size(512 * 1024)
t = threading.Thread(target=report, args=("small thread stack",)); t.start(); t.join()
""" % MODES


def test_deep_and_self_referential_values():
    rows = run(DEEP)
    assert [label for label, _ in rows] == [
        "default", "default limited", "no recursion limit", "no recursion limit limited",
        "small thread stack", "small thread stack limited"]
    for label, outcomes in rows:
        expected = ("RuntimeError: Exceeded recursion limit:50" if label.endswith("limited") else
                    "RecursionError: maximum recursion depth exceeded while encoding a CBOR object")
        assert outcomes == [expected] * len(outcomes), label


MUTATIONS = """
import json
import os
import cbor2
from vantra_cbor import dumps

class Hook:
    # Runs `action` when classified (integer conversion), then reads as 1.
    def __init__(self, action): self.action = action
    def __index__(self):
        self.action()
        return 1

def outcome(make, indefinite, max_depth):
    container = make()
    try:
        data = dumps(container, indefinite, max_depth)
    except RuntimeError as e:
        return "RuntimeError: " + str(e)
    decoded = cbor2.loads(data)  # raises on malformed or truncated output
    return ["ok", repr(decoded)]

def list_with(action_of):
    def make():
        lst = [0, None, 2, 3]
        lst[1] = Hook(lambda: action_of(lst))
        return lst
    return make

def dict_with(action_of, key="b"):
    def make():
        d = {"a": 0, "b": None, "c": 2}
        d[key] = Hook(lambda: action_of(d))
        return d
    return make

cases = {
    "list cleared": list_with(lambda l: l.clear()),
    "list grown": list_with(lambda l: l.extend(range(1000))),
    "own item deleted": list_with(lambda l: l.__delitem__(1)),
    "list item replaced": list_with(lambda l: l.__setitem__(3, "new")),
    "dict cleared": dict_with(lambda d: d.clear()),
    "dict grown": dict_with(lambda d: d.update((i, i) for i in range(1000))),
    "dict value replaced": dict_with(lambda d: d.__setitem__("c", "new")),
    "dict key swapped": dict_with(lambda d: (d.pop("a"), d.__setitem__("z", 9))),
    "dict later key swapped": dict_with(lambda d: (d.pop("c"), d.__setitem__("z", 9)), key="a"),
}
for name, make in cases.items():
    print(json.dumps([name, [outcome(make, i, d) for i, d in %s]]))
""" % MODES


def test_long_tag_chains_are_freed():
    # Freeing a chain of 300k tags, bare or through lists, must not recurse once a level.
    run("""
    from vantra_cbor import Tag
    for wrap in (lambda t: Tag(1000, t), lambda t: Tag(1000, [t])):
        t = 0
        for _ in range(300000):
            t = wrap(t)
        del t
    """)


def test_containers_mutated_while_encoding():
    results = dict(run(MUTATIONS))
    list_changed = "RuntimeError: list changed size during iteration"
    dict_changed = "RuntimeError: dictionary changed size during iteration"
    for name in ("list cleared", "list grown", "own item deleted"):
        assert results[name] == [list_changed] * 4, name
    for name in ("dict cleared", "dict grown"):
        assert results[name] == [dict_changed] * 4, name
    assert results["list item replaced"] == [["ok", "[0, 1, 2, 'new']"]] * 4
    assert results["dict value replaced"] == [["ok", "{'a': 0, 'b': 1, 'c': 'new'}"]] * 4
    # Same size, other keys: the keys-changed error, or output whose head matches its items.
    assert results["dict key swapped"] == ["RuntimeError: dictionary keys changed during iteration"] * 4
    assert results["dict later key swapped"] == [["ok", "{'a': 1, 'b': None, 'z': 9}"]] * 4


SMALL_STACK = """
import json, sys, threading
import vantra_cbor

sys.setrecursionlimit(10**6)  # only the native stack bound is left
inner_errors = []

class Hook:
    # Starts a whole call from deep inside another one.
    def __index__(self):
        try:
            vantra_cbor.dumps(inner)
        except RecursionError:
            inner_errors.append(1)
        return 1

def tag_hook(tag, value):
    # The same, for loads.
    try:
        vantra_cbor.loads(inner_document)
    except RecursionError:
        inner_errors.append(1)
    return value

def nest(levels, leaf, make=lambda v, leaf: [v]):
    v = leaf
    for _ in range(levels):
        v = make(v, leaf)
    return v

inner = nest(5000, 1)
inner_document = b"\\x81" * 5000 + b"\\x01"
dumps, loads = vantra_cbor.dumps, lambda data: vantra_cbor.loads(data, tag_hook=tag_hook)
values = {"deep": (dumps, [nest(n, 1) for n in (10, 300, 900, 3000, 100000)]),
          "re-entrant": (dumps, [nest(n, 0, lambda v, leaf: [Hook(), v]) for n in (10, 300, 3000)]),
          "deep decoded": (loads, [b"\\x81" * n + b"\\x01" for n in (10, 300, 900, 3000, 100000)]),
          "re-entrant decoded": (loads, [b"\\x82\\xd8\\x63\\x00" * n + b"\\x01" for n in (10, 300, 3000)])}

def report(case):
    call, documents = values[case]
    outcomes = []
    for v in documents:
        try:
            outcomes.append(len(call(v)) > 0)
        except RecursionError as e:
            outcomes.append(str(e))
    print(json.dumps([outcomes, len(inner_errors) > 0]))

threading.stack_size(%d * 1024)
t = threading.Thread(target=report, args=(%r,)); t.start(); t.join()
"""


@pytest.mark.parametrize("case", ["deep", "re-entrant", "deep decoded", "re-entrant decoded"])
@pytest.mark.parametrize("stack_kib", [64, 128, 256])
def test_small_thread_stacks(stack_kib, case):
    # Every depth either fits or raises RecursionError: never a crash, however
    # small the stack and however deep in it a call starts.
    skip_below_stack_minimum(stack_kib)
    [[outcomes, inner_refused]] = run(SMALL_STACK % (stack_kib, case))
    # Our bound names the call. A hook can be stopped first by the interpreter's
    # own guard, in its words: from 3.12 it counts C calls, from 3.14 it bounds the stack.
    error = "maximum recursion depth exceeded while %s a CBOR object" % ("decoding" if "decoded" in case else "encoding")

    def refused(outcome):
        if outcome == error:
            return True
        return case.startswith("re-entrant") and (outcome == "maximum recursion depth exceeded" or (
            sys.version_info >= (3, 14) and re.fullmatch(r"Stack overflow \(used \d+ kB\)", str(outcome))))
    assert outcomes[0] is True and refused(outcomes[-1]), outcomes
    assert all(outcome is True or refused(outcome) for outcome in outcomes), outcomes
    assert inner_refused == case.startswith("re-entrant")


OWN_STACK = """
import ctypes, json, sys
import vantra_cbor

helper = ctypes.CDLL(sys.argv[1])
outcomes = []

@ctypes.CFUNCTYPE(None)
def encode():
    value = 1
    for _ in range(300):
        value = [value]
    try:
        outcomes.append(len(vantra_cbor.dumps(value)))
    except RecursionError as e:
        outcomes.append(str(e))

vantra_cbor.dumps([[1]])  # the thread's own stack is looked up first
assert helper.run_on_own_stack(encode, 8 << 20) == 0
print(json.dumps(outcomes))
"""


@pytest.mark.skipif(sys.platform != "linux", reason="the helper is built by the C compiler and mmap of Linux")
def test_calls_on_a_stack_of_their_own(tmp_path):
    # As under a coroutine library: the thread's stack bound does not apply there.
    lib = tmp_path / "own_stack.so"
    cc = sysconfig.get_config_var("CC") or "cc"
    subprocess.run(cc.split()[:1] + ["-shared", "-fPIC", "-O1", "-o", str(lib),
                                     os.path.join(os.path.dirname(__file__), "own_stack.c")], check=True)
    proc = subprocess.run([sys.executable, "-c", OWN_STACK, str(lib)], capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    # A build that budgets its stack cannot tell where another stack ends: it refuses there.
    assert json.loads(proc.stdout) == (["maximum recursion depth exceeded while encoding a CBOR object"]
                                       if STACK_BUDGET else [601])


def deepest_list_encoded(deep, depth):
    """The deepest of deep's nested lists (depth levels) that dumps accepts, by bisection."""
    levels = [deep]
    for _ in range(depth):
        levels.append(levels[-1][0])  # levels[k] nests depth - k deep
    fits, fails = 0, depth
    while fails - fits > 1:
        mid = (fits + fails) // 2
        try:
            vantra_cbor.dumps(levels[depth - mid])
            fits = mid
        except RecursionError:
            fails = mid
    return fits


def test_interpreter_recursion_count_is_balanced():
    # Every container takes one level of Python's recursion count and gives it
    # back on every way out, so calls that fail deep inside leave the deepest
    # nesting accepted afterwards unchanged.
    depth = 200000
    deep = 0
    for _ in range(depth):
        deep = [deep]
    before = deepest_list_encoded(deep, depth)
    assert 0 < before < depth
    for call in [lambda: vantra_cbor.dumps(deep), lambda: vantra_cbor.dumps([[[object()]]], False, 0),
                 lambda: vantra_cbor.Encoder(default=lambda v: [[v]]).encode(object()),
                 lambda: vantra_cbor.Encoder(deterministic=True).encode({1: [deep]}),
                 lambda: vantra_cbor.loads(b"\x81" * depth + b"\x00")] * 3:
        with pytest.raises((RecursionError, RuntimeError, TypeError, ValueError)):
            call()
    assert deepest_list_encoded(deep, depth) == before
