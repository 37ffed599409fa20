"""Errors raised by the Python code dumps calls: interrupts and fatal errors come out as
they are, ordinary failures make the conversion decline."""
import os
import signal

import pytest

from vantra_cbor import dumps

CAST_ERROR = "Unable to cast Python instance to C++ type (compile in debug mode for details)"
OUT_OF_RANGE = "dumps received an integer out of range for both int64_t and uint64_t"
INCOMPATIBLE = "dumps(): incompatible function arguments."


def make(base, *args, **hooks):
    """An instance of a base subclass whose hooks raise the exceptions given, or return the values."""
    def method(result):
        def hook(self, *_):
            if isinstance(result, BaseException):
                raise result
            return result
        return hook

    methods = {name: method(result) for name, result in hooks.items()}
    return type("Hooked", (base,), dict(methods, __hash__=base.__hash__))(*args)


# hook, how dumps meets it, and what it makes of an ordinary failure there
HOOKS = [
    ("__index__", lambda e: dumps([make(object, __index__=e)]), (RuntimeError, CAST_ERROR)),
    ("__index__", lambda e: dumps(make(object, __index__=e)), (TypeError, INCOMPATIBLE)),
    ("__int__", lambda e: dumps([make(object, __int__=e)]), (RuntimeError, CAST_ERROR)),
    ("__int__", lambda e: dumps(make(int, -2**70, __int__=e)), (RuntimeError, OUT_OF_RANGE)),
    ("__float__", lambda e: dumps({"k": make(object, __float__=e)}), (RuntimeError, CAST_ERROR)),
    ("__eq__", lambda e: dumps((make(int, 5, __eq__=e),)), (RuntimeError, OUT_OF_RANGE + "5")),
    ("__eq__", lambda e: dumps([make(object, __float__=0.5, __eq__=e)]), (RuntimeError, CAST_ERROR)),
    ("__ne__", lambda e: dumps([make(object, __float__=float("nan"), __eq__=False, __ne__=e)]),
     (RuntimeError, CAST_ERROR)),
    ("__bool__", lambda e: dumps(1, indefinite=make(object, __bool__=e)), (TypeError, INCOMPATIBLE)),
    ("__index__", lambda e: dumps(1, max_depth=make(object, __index__=e)), (TypeError, INCOMPATIBLE)),
    ("__str__", lambda e: dumps([make(int, 2**64, __str__=e)]), (RuntimeError, OUT_OF_RANGE + "failed with")),
    ("__repr__", lambda e: dumps(make(object, __repr__=e)), (TypeError, INCOMPATIBLE)),
]
FATAL = [KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError, RecursionError]
ORDINARY = [ValueError, TypeError, OverflowError, ZeroDivisionError]


@pytest.mark.parametrize("hook, call, declined", HOOKS, ids=[h[0] for h in HOOKS])
@pytest.mark.parametrize("error", FATAL)
def test_fatal_errors_propagate(error, hook, call, declined):
    if hook in ("__str__", "__repr__") and issubclass(error, Exception):
        # Text for an error message: the error being reported wins, with a note.
        test_ordinary_errors_decline(error, hook, call, declined)
        return
    with pytest.raises(BaseException) as e:
        call(error("from " + hook))
    assert type(e.value) is error and str(e.value) == "from " + hook


@pytest.mark.parametrize("hook, call, declined", HOOKS, ids=[h[0] for h in HOOKS])
@pytest.mark.parametrize("error", ORDINARY)
def test_ordinary_errors_decline(error, hook, call, declined):
    with pytest.raises(declined[0]) as e:
        call(error("from " + hook))
    assert type(e.value) is declined[0] and str(e.value).startswith(declined[1])


def test_interrupt_from_a_signal_handler():
    # The signal is sent from inside the 100th hook call, and its handler runs at
    # the hook's next check for signals: deterministic, whatever else runs.
    calls = []

    class Signalling:
        def __index__(self):
            calls.append(1)
            if len(calls) == 100:
                os.kill(os.getpid(), signal.SIGALRM)
                for _ in range(1000):  # the handler runs here
                    pass
            return 1

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        with pytest.raises(KeyboardInterrupt):
            dumps([Signalling() for _ in range(500)])
    finally:
        signal.signal(signal.SIGALRM, previous)
    assert len(calls) == 100
