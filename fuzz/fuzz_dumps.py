#!/usr/bin/env python3
"""Fuzzes vantra_cbor.dumps, and Encoder beside it, with values built from the input.

Every value is built together with what dumps must make of it. A result must
equal, byte for byte, what a model of the encoder writes for those
expectations, and decode with cbor2 to the same value with nothing left over;
an error must be the one the model predicts, or at least a documented one.
Anything else is raised, so that the fuzzer stops with a crash file.

Run through fuzz/run.sh (instrumented module, sanitizer runtime preloaded), or
by hand: python fuzz/fuzz_dumps.py [libFuzzer flags] [corpus dir].
"""
import collections
import collections.abc
import decimal
import enum
import fractions
import io
import math
import os
import struct
import sys
import threading
import warnings

import atheris
import cbor2
import numpy as np

from vantra_cbor import CBORDecodeError, CBOREncodeTypeError, CBOREncodeValueError, Encoder, dumps, loads

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from reference import float_bytes  # noqa: E402  (the tests' own float reference)

D, F = decimal.Decimal, fractions.Fraction
CAST_ERROR = "Unable to cast Python instance to C++ type (compile in debug mode for details)"
OUT_OF_RANGE = "dumps received an integer out of range for both int64_t and uint64_t"
INCOMPATIBLE = "dumps(): incompatible function arguments"
CHANGED = ("list changed size during iteration", "dictionary changed size during iteration",
           "dictionary keys changed during iteration")
U64, I64 = 2**64 - 1, -2**63
TEXT_LIMIT = 40  # bytes of a value's text quoted in the out-of-range error
# Within this many levels of the interpreter's recursion limit, nesting may or
# may not raise RecursionError, and calls into Python may fail on their own.
BAND = 20
DEEP_LIMIT = 20000  # for the model and cbor2, which recurse too


class Finding(AssertionError):
    """What the fuzzer should stop on."""


class HookError(Exception):
    """Raised by the values' own hooks, and only by them."""


# ---- Expectations ------------------------------------------------------------

class X:
    """What dumps must make of one value.

    kind: "leaf" (arg: item tree), "refused" (no alternative takes it),
    "cast" (taken, then unwritable), "range" (arg: quoted text, or None when
    only the prefix is known), "any" (a mutating hook: any documented outcome),
    "array" (arg: list of X), "map" (arg: list of (X, X)).
    raises: the value's hook raises HookError when called.
    plain: written without calling into Python (safe at the recursion limit).
    """
    __slots__ = ("kind", "arg", "raises", "plain")

    def __init__(self, kind, arg=None, raises=False, plain=False):
        self.kind, self.arg, self.raises, self.plain = kind, arg, raises, plain


def leaf(tree, plain=False):
    return X("leaf", tree, plain=plain)


def int_leaf(n, plain=False):
    return leaf(("i", n), plain) if I64 <= n <= U64 else X("refused")


def cut(text):
    """The quoted text: at most TEXT_LIMIT bytes, never half a character."""
    raw = text.encode("utf-8")
    if len(raw) <= TEXT_LIMIT:
        return text
    end = TEXT_LIMIT
    while end > 0 and raw[end] & 0xC0 == 0x80:
        end -= 1
    return raw[:end].decode("utf-8")


def int_text(n):
    try:
        return cut(str(n))
    except ValueError:  # past the interpreter's digit limit
        return None


def str_leaf(s):
    try:
        s.encode("utf-8")
    except UnicodeEncodeError:
        return X("cast")
    return leaf(("t", str.__str__(s)))


def exact_float(obj):
    """float(obj) when it holds obj exactly (NaN for NaN), else refused."""
    try:
        real = float(obj)
    except (ValueError, OverflowError, TypeError):
        return X("refused")
    if real == obj or (math.isnan(real) and obj != obj):
        return leaf(("f", real))
    return X("refused")


# ---- Hooks -------------------------------------------------------------------

ARMED = [False]    # hooks act only while dumps runs, never while the value is built
NESTED_FAILS = []  # what hooks saw go wrong: their own exceptions may be swallowed
NESTED_VALUE = [1, "x", {"k": [2.5, None]}, b"\x00" * 30]
NESTED_TREE = ("a", [("i", 1), ("t", "x"), ("m", [(("t", "k"), ("a", [("f", 2.5), ("n",)]))]),
                     ("y", b"\x00" * 30)])
NESTED_EXPECTED = {}  # filled in below, by the reference encoder


def mutate(target, action, arg):
    """One change to a list or dict that is being encoded."""
    if isinstance(target, list):
        n = list.__len__(target)
        if action == 0:
            target.append(arg)
        elif action == 1 and n:
            target.pop()
        elif action == 2:
            target.clear()
        elif action == 3:
            target.insert(0, arg)
        elif action == 4 and n:
            target[n // 2] = arg
        elif action == 5:
            target.extend(range(50))
        elif action == 6 and n:
            del target[0]
        elif action == 7:
            target.append(target)
    else:
        keys = list(dict.keys(target))
        if action == 0:
            target[object()] = arg
        elif action == 1 and keys:
            target.popitem()
        elif action == 2:
            target.clear()
        elif action == 3 and keys:  # same size, other keys
            dict.pop(target, keys[0])
            target[("new", len(keys))] = arg
        elif action == 4 and keys:
            target[keys[-1]] = arg
        elif action == 5:
            target.update((("k", i), i) for i in range(50))
        elif action == 6 and keys:
            dict.pop(target, keys[len(keys) // 2])
            target[keys[len(keys) // 2]] = arg  # same key, now last
        elif action == 7:
            target["self"] = target


class Act:
    """What a hook does when called: nothing, raise, mutate, or call dumps
    (here, or on another thread while this one waits)."""
    __slots__ = ("mode", "target", "action", "arg", "left")
    NONE, RAISE, MUTATE, NESTED, THREAD = range(5)

    def __init__(self, mode, target=None, action=0, arg=None):
        self.mode, self.target, self.action, self.arg = mode, target, action, arg
        # A few changes each: a hook met again through a cycle would otherwise
        # grow its target on every level.
        self.left = 3

    def __call__(self):
        if self.mode == Act.RAISE:
            raise HookError()
        if not ARMED[0]:
            return
        if self.mode == Act.MUTATE and self.target is not None and self.left > 0:
            self.left -= 1
            mutate(self.target, self.action, self.arg)
        elif self.mode == Act.NESTED:
            nested_dumps(self.action)
        elif self.mode == Act.THREAD and self.left > 0:
            # The other thread takes the interpreter while this call waits in
            # the middle of its output.
            self.left -= 1
            t = threading.Thread(target=quietly, args=(nested_dumps, self.action))
            t.start()
            t.join()


def quietly(f, *args):
    try:
        f(*args)
    except BaseException:  # noqa: B902 - recorded in NESTED_FAILS where it matters
        pass


def nested_dumps(action):
    indefinite = bool(action & 1)
    try:
        got = dumps(NESTED_VALUE, indefinite, (0, 3, 4, U64)[action >> 1])
    except (RecursionError, MemoryError):
        raise
    except BaseException as e:  # noqa: B902 - recorded: the caller may swallow it
        NESTED_FAILS.append("nested dumps raised %r" % (e,))
        raise
    if got != NESTED_EXPECTED[indefinite]:
        NESTED_FAILS.append("nested dumps wrote %s" % got.hex())


class Hooked:
    __slots__ = ("act", "v")

    def __init__(self, act, v):
        self.act, self.v = act, v

    def __repr__(self):
        self.act()
        return "Hooked(%r)" % (self.v,)

    __hash__ = object.__hash__


class IndexHook(Hooked):
    def __index__(self):
        self.act()
        return self.v


class IntHook(Hooked):
    def __int__(self):
        self.act()
        return self.v


class FloatHook(Hooked):
    def __float__(self):
        self.act()
        return self.v

    def __eq__(self, other):  # so that float(self) == self holds
        return isinstance(other, float) and other == self.v

    __hash__ = object.__hash__


class PlainFloatHook(Hooked):
    """float() without equality: no float holds it exactly."""

    def __float__(self):
        self.act()
        return self.v


class BoolHook(Hooked):
    def __bool__(self):
        self.act()
        return self.v


class EqInt(int):
    """An int whose comparisons run the hook, then compare as an int."""

    def __eq__(self, other):
        self.act()
        return int.__eq__(self, other)

    __hash__ = int.__hash__


class TextInt(int):
    """An int that never compares equal: its text is quoted in the error."""

    def __eq__(self, other):
        return False

    def __str__(self):
        self.act()
        return self.text

    __hash__ = int.__hash__


# ---- Subclasses ----------------------------------------------------------------

class MyInt(int):
    pass


class MyFloat(float):
    def __float__(self):  # ignored: the stored double is written
        return 12345.0


class MyStr(str):
    def __str__(self):
        return "other"


class MyBytes(bytes):
    pass


class MyList(list):
    """Overrides that the encoder must not consult."""

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 7

    def __getitem__(self, i):
        raise HookError()


class MyTuple(tuple):
    def __iter__(self):
        raise HookError()

    def __len__(self):
        return 0


class MyDict(dict):
    def __iter__(self):
        raise HookError()

    def items(self):
        raise HookError()

    def __len__(self):
        return 99

    def __getitem__(self, key):
        raise HookError()


Pair = collections.namedtuple("Pair", "a b")


class Small(enum.IntEnum):
    A = 7
    B = 300
    C = 2**63


# ---- Building values -----------------------------------------------------------

INTS = [0, 1, 23, 24, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, 2**63, U64, 2**64,
        -1, -24, -25, -256, -257, -65536, -65537, -2**32, -2**32 - 1, I64 + 1, I64, I64 - 1,
        2**100, -2**100]
FLOATS = [0.0, -0.0, 1.0, 1.5, -2.0, 65504.0, 65520.0, 65536.0, 2.0**-14, 2.0**-15, 2.0**-24,
          2.0**-25, 2.0**-126, 2.0**-149, 5e-324, 2.2250738585072014e-308, 0.1, 1e300,
          3.4028234663852886e38, float.fromhex("0x1.ffffffp+127"), 2.0**127, 2.0**128,
          1.0 + 2.0**-10, 1.0 + 2.0**-11, math.inf, -math.inf, math.nan, -math.nan,
          struct.unpack(">d", bytes.fromhex("7ff0000000000001"))[0],
          struct.unpack(">d", bytes.fromhex("fff8dead00000000"))[0]]
TEXTS = ["", "a", "é", "€", "\U0001F600", "a\ud800b", "\udfff", "\ud83d\ude00", "\x00", "ab\x00cd",
         "\uffff", "日本語", "\u0080" * 3]
LENGTHS = [0, 1, 23, 24, 255, 256, 511, 512, 513, 65535, 65536, 70000, 300000]
SIZE_LIMIT = 1200000      # past the 1 MiB output block kept between calls, now and then
CYCLE_SIZE_LIMIT = 4096
DECIMALS = ["0", "-0", "5", "2.5", "0.1", "1e10", "1e400", "-1e400", "NaN", "-NaN", "sNaN", "Infinity",
            "-Infinity", "1e-400", "123456789012345678901234567890", "0.5e1", "1E+22", "1E+23"]
REFUSED = [lambda: {1, 2}, frozenset, lambda: bytearray(b"a"), object, lambda: 1j, lambda: ...,
           lambda: len, lambda: memoryview(b"ab"), lambda: np.datetime64(1, "s"),
           lambda: np.array([1, 2]), lambda: np.complex64(1 + 1j), lambda: type]
NUMPY_INTS = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]


class Builder:
    def __init__(self, fdp):
        self.fdp = fdp
        self.budget = 120
        self.keep = []        # every object made, alive until the call is checked
        self.expected = {}    # id(object) -> X, for reading a dict's entries back
        self.targets = []     # lists and dicts that hooks may change
        self.hooks = []       # acts that mutate, bound to a target at the end
        # A value the Encoder writes otherwise than dumps: a Decimal or a Fraction
        # (by tag 4 or 30), an object with only __index__, __int__ or __float__
        # (refused or passed to default, never a number).
        self.encoder_differs = False
        # String and byte string lengths so far: long ones are kept few, and
        # out of cycles, which repeat them on every level until a limit.
        self.size = 0

    def pick(self, n):
        return self.fdp.ConsumeIntInRange(0, n - 1)

    def note(self, obj, x):
        self.keep.append(obj)
        self.expected[id(obj)] = x
        return obj, x

    # Scalars

    def int_value(self):
        c = self.pick(5)
        if c == 0:
            return self.fdp.ConsumeIntInRange(-30, 30)
        if c == 1:
            return self.fdp.ConsumeIntInRange(I64, U64)
        if c == 2:
            return INTS[self.pick(len(INTS))]
        if c == 3:
            return self.fdp.ConsumeInt(self.fdp.ConsumeIntInRange(1, 40))
        # Past the interpreter's digit limit for str(), now and then.
        return self.fdp.ConsumeInt(self.fdp.ConsumeIntInRange(1, 2000)) | (1 << 14500)

    def float_value(self):
        c = self.pick(4)
        if c == 0:
            return FLOATS[self.pick(len(FLOATS))]
        if c == 1:
            return struct.unpack("<d", self.fdp.ConsumeBytes(8).ljust(8, b"\0"))[0]
        if c == 2:  # singles and halves widened, their neighbours
            bits = self.fdp.ConsumeIntInRange(0, 2**32 - 1)
            x = struct.unpack("<f", struct.pack("<I", bits))[0]
            return math.nextafter(x, math.inf) if self.fdp.ConsumeBool() else x
        bits = self.fdp.ConsumeIntInRange(0, 0xFFFF)
        return struct.unpack("<e", struct.pack("<H", bits))[0]

    def length(self):
        n = LENGTHS[self.pick(len(LENGTHS))]
        return n if self.size + n <= SIZE_LIMIT else n % 300

    def text_value(self):
        c = self.pick(4)
        if c == 0:
            s = TEXTS[self.pick(len(TEXTS))]
        elif c == 1:
            s = self.fdp.ConsumeUnicode(self.fdp.ConsumeIntInRange(0, 40))
        elif c == 2:
            s = self.fdp.ConsumeUnicodeNoSurrogates(self.fdp.ConsumeIntInRange(0, 300))
        else:
            s = TEXTS[self.pick(len(TEXTS))][:1] * self.length()
        self.size += len(s)
        return s

    def bytes_value(self):
        if self.fdp.ConsumeBool():
            b = self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, 300))
        else:
            b = bytes([self.pick(256)]) * self.length()
        self.size += len(b)
        return b

    def act(self, raising_ok=True):
        c = self.pick(6)
        if c in (0, 1) or (c == 2 and not raising_ok):
            return Act(Act.NONE)
        if c == 2:
            return Act(Act.RAISE)
        if c == 5:
            return Act(Act.THREAD if self.fdp.ConsumeBool() else Act.NESTED, action=self.pick(8))
        a = Act(Act.MUTATE, action=self.pick(8))
        self.hooks.append(a)
        return a

    def hooked(self):
        """An object whose conversion runs Python code: (object, X)."""
        act = self.act()
        self.encoder_differs = True
        if act.mode == Act.RAISE:
            x = None  # filled in per kind below
        c = self.pick(7)
        if c == 0:
            v = self.int_value()
            obj, x = IndexHook(act, v), int_leaf(v)
        elif c == 1:
            v = self.int_value()
            obj, x = IntHook(act, v), int_leaf(v)
        elif c == 2:
            v = self.float_value()
            obj, x = FloatHook(act, v), leaf(("f", v))
        elif c == 3:
            v = self.float_value()
            obj, x = PlainFloatHook(act, v), X("refused")
        elif c == 4:
            # A truth value alone is never written as a boolean.
            obj, x = BoolHook(act, (False, True, 2)[self.pick(3)]), X("refused")
        elif c == 5:
            v = self.int_value()
            obj = EqInt(v)
            obj.act = act
            x = int_leaf(v) if I64 <= v <= U64 else X("range", int_text(v))
        else:
            v = self.int_value()
            obj = TextInt(v)
            obj.act = act
            obj.text = self.fdp.ConsumeUnicodeNoSurrogates(self.fdp.ConsumeIntInRange(0, 60))
            # Quoted whole, NUL characters included.
            x = X("range", cut(obj.text))
        if act.mode == Act.RAISE:
            # Conversions that fail: the number is refused, the int's text unknown.
            x = X("range", None) if c >= 5 else X("refused")
            x.raises = True
        elif act.mode == Act.MUTATE:
            x = X("any")
        return obj, x

    def numeric(self):
        """NumPy scalars, Decimal, Fraction, int/float subclasses: (object, X)."""
        c = self.pick(9)
        if c == 0:
            t = NUMPY_INTS[self.pick(len(NUMPY_INTS))]
            info = np.iinfo(t)
            v = t(self.fdp.ConsumeIntInRange(int(info.min), int(info.max)))
            return v, int_leaf(int(v))
        if c == 1:
            t = (np.float16, np.float32, np.float64)[self.pick(3)]
            v = t(self.float_value())
            return v, leaf(("f", float(v)))
        if c == 2:
            v = np.bool_(self.fdp.ConsumeBool())
            return v, leaf(("b", bool(v)))
        if c == 3:
            v = np.longdouble(self.float_value())
            if self.fdp.ConsumeBool():
                v = v / np.longdouble(3)
            return v, exact_float(v)
        if c == 4:
            self.encoder_differs = True
            if self.fdp.ConsumeBool():
                v = D(DECIMALS[self.pick(len(DECIMALS))])
            else:
                v = D(self.fdp.ConsumeIntInRange(-10**6, 10**6)).scaleb(self.fdp.ConsumeIntInRange(-30, 30))
            return v, exact_float(v)
        if c == 5:
            self.encoder_differs = True
            if self.fdp.ConsumeBool():
                v = F(self.fdp.ConsumeIntInRange(-1000, 1000), self.fdp.ConsumeIntInRange(1, 64))
            else:
                v = F(self.int_value())
            return v, exact_float(v)
        if c == 6:
            v = self.int_value()
            if self.fdp.ConsumeBool():
                obj = MyInt(v)
                return obj, (int_leaf(v) if I64 <= v <= U64 else X("range", int_text(v)))
            obj = list(Small)[self.pick(3)]
            return obj, int_leaf(int(obj))
        if c == 7:
            v = self.float_value()
            return (MyFloat(v), leaf(("f", v))) if self.fdp.ConsumeBool() else (np.float64(v), leaf(("f", v)))
        # Objects with only a truth value: refused, never written as a boolean.
        return range(self.pick(3)), X("refused")

    def scalar(self):
        c = self.pick(12)
        if c == 0:
            return None, leaf(("n",), True)
        if c == 1:
            v = self.fdp.ConsumeBool()
            return v, leaf(("b", v), True)
        if c in (2, 3):
            v = self.int_value()
            if I64 <= v <= U64:
                return v, leaf(("i", v), plain=-2**63 <= v < 2**63)
            return v, X("range", int_text(v))
        if c == 4:
            v = self.float_value()
            return v, leaf(("f", v), True)
        if c == 5:
            v = self.text_value()
            x = str_leaf(v)
            x.plain = True
            if self.fdp.ConsumeBool():
                v = (MyStr(v) if self.fdp.ConsumeBool() else np.str_(v))
                x = str_leaf(v)
            return v, x
        if c == 6:
            v = self.bytes_value()
            if self.fdp.ConsumeBool():
                v = MyBytes(v) if self.fdp.ConsumeBool() else np.bytes_(v)
                return v, leaf(("y", bytes(v)))
            return v, leaf(("y", v), True)
        if c in (7, 8):
            return self.numeric()
        if c in (9, 10):
            return self.hooked()
        return REFUSED[self.pick(len(REFUSED))](), X("refused")

    def key(self, depth):
        """A hashable value: (object, X)."""
        c = self.pick(4)
        if c == 3 and depth < 4:
            items = [self.key(depth + 1) for _ in range(self.pick(4))]
            return tuple(o for o, _ in items), X("array", [x for _, x in items])
        for _ in range(4):
            obj, x = self.scalar()
            try:
                hash(obj)
            except TypeError:
                continue
            return obj, x
        return 0, leaf(("i", 0), True)

    def container(self, depth):
        c = self.pick(9)
        n = self.pick(6) if self.fdp.ConsumeBool() else self.pick(30)
        if c <= 1 or c == 6:  # lists, list subclasses
            items = [self.value(depth + 1) for _ in range(n)]
            x = X("array", [x for _, x in items])
            obj = [o for o, _ in items]
            if c == 6:
                obj = MyList(obj)
            self.targets.append(obj)
            if self.pick(8) == 0 and self.size <= CYCLE_SIZE_LIMIT:  # itself as an item
                at = self.pick(len(x.arg) + 1)
                list.insert(obj, at, obj)
                x.arg.insert(at, x)
            return obj, x
        if c in (2, 7):  # tuples, named and subclassed
            items = [self.value(depth + 1) for _ in range(n)]
            objs = [o for o, _ in items]
            if c == 7:
                obj = Pair(*objs[:2], *([0] * (2 - len(objs[:2])))) if self.fdp.ConsumeBool() else MyTuple(objs)
                if isinstance(obj, Pair):
                    xs = [x for _, x in items[:2]] + [leaf(("i", 0))] * (2 - len(objs[:2]))
                    return obj, X("array", xs)
            else:
                obj = tuple(objs)
            x = X("array", [x for _, x in items])
            inner = [(o, ox) for o, ox in items if type(o) is list]
            if inner and self.pick(4) == 0 and self.size <= CYCLE_SIZE_LIMIT:  # a cycle through a list
                o, ox = inner[self.pick(len(inner))]
                o.append(obj)
                ox.arg.append(x)
            return obj, x
        # dicts and their subclasses
        kind = (dict, collections.OrderedDict, MyDict, lambda: collections.defaultdict(int))[self.pick(4)]
        obj = kind()
        for _ in range(n):
            k, kx = self.key(depth + 1)
            v, vx = self.value(depth + 1)
            self.note(k, kx)
            self.note(v, vx)
            try:
                dict.__setitem__(obj, k, v)
            except Exception:  # an equal hash, and an __eq__ that raises (a hook's, NumPy's)
                pass
        if self.pick(8) == 0 and self.size <= CYCLE_SIZE_LIMIT:  # itself as a value
            self.note("self", leaf(("t", "self"), True))
            dict.__setitem__(obj, "self", obj)
        self.targets.append(obj)
        return obj, self.map_x(obj)

    def map_x(self, obj):
        """The map's expectation, read from the dict as it stands."""
        x = X("map", [])
        self.expected[id(obj)] = x
        self.keep.append(obj)
        pairs = []
        for k, v in dict.items(obj):
            kx = self.expected[id(k)]
            vx = x if v is obj else self.expected[id(v)]
            pairs.append((kx, vx))
        x.arg = pairs
        return x

    def value(self, depth=0):
        self.budget -= 1
        if self.budget <= 0 or depth > 10 or self.pick(3) == 0:
            obj, x = self.scalar()
        else:
            obj, x = self.container(depth)
        self.note(obj, x)
        return obj, x

    def deep(self, obj, x):
        """Wraps the value in up to ~1100 levels of lists, tuples and dicts."""
        levels = self.fdp.ConsumeIntInRange(0, 1100)
        pattern = self.fdp.ConsumeBytes(4) or b"\0"
        for i in range(levels):
            c = pattern[i % len(pattern)] % 3
            if c == 0:
                obj, x = [obj], X("array", [x])
            elif c == 1:
                obj, x = (obj,), X("array", [x])
            else:
                obj, x = {"k": obj}, X("map", [(leaf(("t", "k")), x)])
            self.keep.append(obj)
        return obj, x

    def bind_hooks(self):
        for a in self.hooks:
            if self.targets:
                a.target = self.targets[self.pick(len(self.targets))]
            small = self.size <= CYCLE_SIZE_LIMIT
            a.arg = a.target if small and self.fdp.ConsumeBool() else self.value(8)[0]


# ---- The model -----------------------------------------------------------------

class Outcome(Exception):
    """How a call must end: TypeError, RecursionError, "cast", "range"
    (message: the quoted text or None), "depth", "error" (any documented
    error) or "any" (any documented error, or well-formed output)."""

    def __init__(self, kind, message=None):
        super().__init__(kind, message)
        self.kind, self.message = kind, message


def children(x):
    if x.kind == "array":
        return x.arg
    if x.kind == "map":
        return [c for pair in x.arg for c in pair]
    return ()


def heights(root):
    """Container levels below each node: None on or above a cycle."""
    height, on_path = {}, set()

    def visit(x):
        key = id(x)
        if key in height:
            return height[key]
        if key in on_path:
            return None
        if x.kind not in ("array", "map"):
            height[key] = 0
            return 0
        on_path.add(key)
        h = 1
        for c in children(x):
            ch = visit(c)
            if ch is None:
                h = None
            elif h is not None:
                h = max(h, ch + 1)
        on_path.discard(key)
        height[key] = h
        return h

    visit(root)
    return height


def model(x, max_depth, avail):
    """The item tree dumps writes for x, or the Outcome it must end in.

    Also returns flags: a hook's exception may escape instead ("hook"), or
    RecursionError may come first ("recursion").
    """
    flags = {"hook": False, "recursion": False}
    height = heights(x)
    done = {}  # id -> (tree or Outcome, hook flag), for subtrees whose place cannot matter
    path = set()  # containers being walked

    def walk(x, depth, nest, top):
        h = height.get(id(x))
        if (not top and h and (not max_depth or depth + h <= max_depth)
                and nest + h < avail - BAND - 1):
            key = id(x)
            if key not in done:
                saved, flags["hook"] = flags["hook"], False
                try:
                    done[key] = (walk_here(x, depth, nest, top), flags["hook"])
                except Outcome as o:
                    done[key] = (o, flags["hook"])
                flags["hook"] |= saved
            result, hook = done[key]
            flags["hook"] |= hook
            if isinstance(result, Outcome):
                raise result
            return result
        return walk_here(x, depth, nest, top)

    def walk_here(x, depth, nest, top):
        if x.raises:
            flags["hook"] = True
        if nest >= avail - BAND and not x.plain and x.kind not in ("array", "map"):
            raise Outcome("any")  # Python code run at the recursion limit
        k = x.kind
        if k == "leaf":
            return x.arg
        if k == "refused":
            raise Outcome(TypeError if top else "cast")
        if k == "cast":
            raise Outcome("cast")
        if k == "range":
            raise Outcome("range", x.arg)
        if k == "any":
            raise Outcome("any")
        if id(x) in path:
            # Met again on its own path: what lies between repeats until a
            # limit stops it, so only the limit is left to tell.
            if max_depth and max_depth + 1 < avail - BAND:
                raise Outcome("depth")
            raise Outcome("error")
        nest += 1
        if nest > avail + BAND:
            raise Outcome(RecursionError)
        if nest >= avail - BAND:
            flags["recursion"] = True
        path.add(id(x))
        try:
            return walk_container(x, depth, nest)
        finally:
            path.discard(id(x))

    def walk_container(x, depth, nest):
        k = x.kind
        out = []

        def element(child):
            if max_depth and depth + 1 > max_depth:
                raise Outcome("depth")
            return walk(child, depth + 1, nest, False)

        if k == "array":
            for child in x.arg:
                out.append(element(child))
            return ("a", out)
        for kx, vx in x.arg:
            out.append((element(kx), element(vx)))
        return ("m", out)

    try:
        return walk(x, 0, 0, True), flags
    except Outcome as o:
        return o, flags


# ---- Reference encoding and decoding ---------------------------------------------

def head(major, n):
    if n < 24:
        return bytes([major << 5 | n])
    for ai, width in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if n < 1 << (8 * width):
            return bytes([major << 5 | ai]) + n.to_bytes(width, "big")
    raise Finding("argument too large: %d" % n)


def encode(tree, indefinite, out):
    t = tree[0]
    if t == "i":
        n = tree[1]
        out.append(head(0, n) if n >= 0 else head(1, -1 - n))
    elif t == "f":
        out.append(float_bytes(tree[1]))
    elif t == "t":
        raw = tree[1].encode("utf-8")
        out.append(head(3, len(raw)) + raw)
    elif t == "y":
        out.append(head(2, len(tree[1])) + tree[1])
    elif t == "b":
        out.append(b"\xf5" if tree[1] else b"\xf4")
    elif t == "n":
        out.append(b"\xf6")
    elif t == "a":
        out.append(b"\x9f" if indefinite else head(4, len(tree[1])))
        for item in tree[1]:
            encode(item, indefinite, out)
        if indefinite:
            out.append(b"\xff")
    else:
        out.append(b"\xbf" if indefinite else head(5, len(tree[1])))
        for k, v in tree[1]:
            encode(k, indefinite, out)
            encode(v, indefinite, out)
        if indefinite:
            out.append(b"\xff")


def to_python(tree, key=False):
    """What cbor2 decodes the tree's encoding to."""
    t = tree[0]
    if t == "a":
        items = [to_python(i, key) for i in tree[1]]
        return tuple(items) if key else items
    if t == "m":
        d = {}
        for k, v in tree[1]:
            d[to_python(k, True)] = to_python(v)
        return d
    if t == "n":
        return None
    return tree[1]


def canonical(v):
    """A comparable form that tells bools, ints and floats apart, and -0.0 from 0.0."""
    if v is None or isinstance(v, bool):
        return ("b", v)
    if isinstance(v, int):
        return ("i", v)
    if isinstance(v, float):
        return ("f", "nan" if math.isnan(v) else struct.pack(">d", v))
    if isinstance(v, (str, bytes)):
        return (type(v).__name__, v)
    if isinstance(v, (list, tuple)):
        return ("a", tuple(canonical(i) for i in v))
    if isinstance(v, collections.abc.Mapping):  # dict, or cbor2's frozen dict
        return ("m", tuple((canonical(k), canonical(i)) for k, i in v.items()))
    raise Finding("cbor2 decoded an unexpected %s: %r" % (type(v).__name__, v))


def decode_whole(data):
    fp = io.BytesIO(data)
    try:
        value = cbor2.CBORDecoder(fp, max_depth=DEEP_LIMIT, read_size=1).decode()
    except Exception as e:
        raise Finding("cbor2 cannot decode %s: %r" % (data[:64].hex(), e))
    if fp.tell() != len(data):
        raise Finding("%d bytes after the item: %s" % (len(data) - fp.tell(), data[:64].hex()))
    return value


def check_form(data, indefinite):
    """Each item as dumps writes items: shortest heads, containers in the
    call's mode, definite strings, the narrowest float, no tags."""
    pos = 0

    def item():
        nonlocal pos
        if pos >= len(data):
            raise Finding("truncated output: %s" % data[:64].hex())
        ib = data[pos]
        major, ai = ib >> 5, ib & 31
        pos += 1
        if major == 7:
            if ib in (0xF4, 0xF5, 0xF6):
                return
            width = {0xF9: 2, 0xFA: 4, 0xFB: 8}.get(ib)
            if width is None or pos + width > len(data):
                raise Finding("bad simple item %02x in %s" % (ib, data[:64].hex()))
            raw = data[pos:pos + width]
            pos += width
            x = struct.unpack({2: ">e", 4: ">f", 8: ">d"}[width], raw)[0]
            if float_bytes(x) != bytes([ib]) + raw:
                raise Finding("float %r written as %s" % (x, (bytes([ib]) + raw).hex()))
            return
        if major == 6:
            raise Finding("tag in output: %s" % data[:64].hex())
        if ai == 31:
            if major not in (4, 5) or not indefinite:
                raise Finding("indefinite head %02x in mode indefinite=%s" % (ib, indefinite))
            while True:
                if pos >= len(data):
                    raise Finding("unterminated container: %s" % data[:64].hex())
                if data[pos] == 0xFF:
                    pos += 1
                    return
                item()
                if major == 5:
                    item()
        if ai > 27:
            raise Finding("reserved head %02x" % ib)
        n = ai
        if ai >= 24:
            w = 1 << (ai - 24)
            n = int.from_bytes(data[pos:pos + w], "big")
            pos += w
            if head(major, n)[0] != ib:
                raise Finding("head %02x for argument %d is not the shortest" % (ib, n))
        if major in (4, 5) and indefinite:
            raise Finding("definite container in indefinite mode")
        if major in (2, 3):
            if pos + n > len(data):
                raise Finding("string past the end")
            if major == 3:
                try:
                    data[pos:pos + n].decode("utf-8")
                except UnicodeDecodeError:
                    raise Finding("invalid UTF-8 written")
            pos += n
        elif major in (4, 5):
            for _ in range(n * (2 if major == 5 else 1)):
                item()

    item()
    if pos != len(data):
        raise Finding("trailing bytes: %s" % data.hex())


# ---- One input -------------------------------------------------------------------

OPTIONS_ACCEPTED = [  # (indefinite, max_depth) as given, and as taken
    ((1, None), (True, 0)), ((2.5, None), (True, 0)), ((np.bool_(True), None), (True, 0)),
    ((None, None), (False, 0)), ((0.0, None), (False, 0)), ((np.bool_(False), None), (False, 0)),
    ((None, np.uint64(3)), (False, 3)), ((True, True), (True, 1)), ((False, np.int8(2)), (False, 2)),
]
OPTIONS_REFUSED = [("yes", 0), ([], 0), (True, -1), (True, 1.0), (True, None), (True, 2**64), (True, "2"),
                   (BoolHook(Act(Act.RAISE), True), 0), (True, IndexHook(Act(Act.RAISE), 1))]


def frame_depth():
    f, n = sys._getframe(1), 0
    while f is not None:
        n += 1
        f = f.f_back
    return n


def documented(e, max_depth):
    if isinstance(e, (RecursionError, MemoryError)):
        return True
    if type(e) is TypeError:
        return str(e).startswith(INCOMPATIBLE)
    if type(e) is RuntimeError:
        m = str(e)
        return (m == CAST_ERROR or m.startswith(OUT_OF_RANGE) or m in CHANGED
                or (max_depth != 0 and m == "Exceeded recursion limit:%d" % max_depth))
    return False


def check_error(e, want, max_depth):
    """e is the exception dumps raised; want the Outcome the model predicts."""
    if want.kind in ("any", "error"):
        if not documented(e, max_depth):
            raise Finding("undocumented error %r" % (e,))
        return
    if want.kind is TypeError:
        ok = type(e) is TypeError and str(e).startswith(INCOMPATIBLE)
    elif want.kind is RecursionError:
        ok = type(e) is RecursionError
    elif want.kind == "cast":
        ok = type(e) is RuntimeError and str(e) == CAST_ERROR
    elif want.kind == "depth":
        ok = type(e) is RuntimeError and str(e) == "Exceeded recursion limit:%d" % max_depth
    else:  # range
        text = want.message
        ok = type(e) is RuntimeError and (str(e) == OUT_OF_RANGE + text if text is not None
                                          else str(e).startswith(OUT_OF_RANGE))
    if not ok:
        raise Finding("expected %s %r, got %r" % (want.kind, want.message, e))


def call(fdp, value):
    """dumps with options from the input: (result or exception, indefinite, max_depth, refused)."""
    c = fdp.ConsumeIntInRange(0, 39)
    if c == 0:
        given, taken = OPTIONS_ACCEPTED[fdp.ConsumeIntInRange(0, len(OPTIONS_ACCEPTED) - 1)]
        kwargs = {"indefinite": given[0]}
        if given[1] is not None:
            kwargs["max_depth"] = given[1]
        return (lambda: dumps(value, **kwargs)), taken[0], taken[1], False
    if c == 1:
        indefinite, max_depth = OPTIONS_REFUSED[fdp.ConsumeIntInRange(0, len(OPTIONS_REFUSED) - 1)]
        return (lambda: dumps(value, indefinite, max_depth)), True, 0, True
    indefinite = fdp.ConsumeBool()
    d = fdp.ConsumeIntInRange(0, 5)
    max_depth = (0, 0, fdp.ConsumeIntInRange(1, 8), fdp.ConsumeIntInRange(1, 1200), U64,
                 fdp.ConsumeIntInRange(0, U64))[d]
    form = fdp.ConsumeIntInRange(0, 3)
    if form == 0 and max_depth == 0:
        return (lambda: dumps(value, indefinite)), indefinite, 0, False
    if form == 1:
        return (lambda: dumps(value=value, max_depth=max_depth, indefinite=indefinite)), indefinite, max_depth, False
    return (lambda: dumps(value, indefinite, max_depth)), indefinite, max_depth, False


def run_call(thunk):
    """Calls dumps with hooks armed. Kept one frame below TestOneInput: avail counts from here."""
    ARMED[0] = True
    try:
        return thunk(), None
    except BaseException as e:  # noqa: B902 - every outcome is judged
        return None, e
    finally:
        ARMED[0] = False


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    b = Builder(fdp)
    value, x = b.value()
    if fdp.ConsumeIntInRange(0, 7) == 0:
        value, x = b.deep(value, x)
    b.bind_hooks()
    thunk, indefinite, max_depth, refused = call(fdp, value)
    del NESTED_FAILS[:]
    # dumps runs two frames below this one (run_call, the thunk); hooks run deeper still.
    avail = sys.getrecursionlimit() - frame_depth() - 2
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(DEEP_LIMIT)
    try:
        want, flags = model(x, max_depth, avail)
    finally:
        sys.setrecursionlimit(limit)
    result, error = run_call(thunk)
    sys.setrecursionlimit(DEEP_LIMIT)
    try:
        judge(result, error, want, flags, indefinite, max_depth, refused)
    finally:
        sys.setrecursionlimit(limit)
    if NESTED_FAILS:
        raise Finding("; ".join(NESTED_FAILS))
    if fdp.ConsumeIntInRange(0, 15) == 0 and not refused:
        again_in_thread(value, indefinite, max_depth, result, flags, not b.hooks)
    if fdp.ConsumeIntInRange(0, 3) == 0 and not refused:
        same = not b.hooks and not b.encoder_differs and not flags["recursion"]
        with_encoder(value, indefinite, max_depth, result if same else None, fdp.ConsumeBool(),
                     fdp.ConsumeIntInRange(0, 7) if fdp.ConsumeBool() else 0)


ENCODER_REFUSALS = ("cannot encode ", "cannot write deterministically ")


def with_encoder(value, indefinite, max_depth, first, deterministic, extra):
    """Encoder with dumps' options writes what dumps wrote (first, when the
    value holds nothing the Encoder writes otherwise, no mutating hook and no
    nesting near the limit); whatever it writes, deterministic or not, with
    value sharing, string references or the length-first order (extra's bits),
    decodes whole, by cbor2 and by loads; it fails only with a documented error."""
    if deterministic:  # references follow the order of writing, which sorting changes: not with them
        options = dict(deterministic="length-first" if extra & 4 else True)
    else:
        options = dict(indefinite=indefinite, value_sharing=bool(extra & 1), string_referencing=bool(extra & 2))
    encoder = Encoder(max_depth=max_depth, **options)
    if extra:
        first = None  # written otherwise than dumps writes
    ARMED[0] = True
    try:
        got = encoder.encode(value)
    except BaseException as e:  # noqa: B902 - judged below
        got = e
    finally:
        ARMED[0] = False
    if isinstance(got, BaseException):
        if first is not None and not deterministic:
            raise Finding("Encoder raised %r where dumps wrote %s" % (got, first[:64].hex())) from got
        refusal = type(got) in (CBOREncodeTypeError, CBOREncodeValueError) and str(got).startswith(ENCODER_REFUSALS)
        if not (refusal or isinstance(got, HookError) or documented(got, max_depth)):
            raise Finding("Encoder: undocumented error %r" % (got,)) from got
        return
    if first is not None and not deterministic and got != first:
        raise Finding("Encoder wrote %s, dumps %s" % (got[:100].hex(), first[:100].hex()))
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(DEEP_LIMIT)
    try:
        decode_whole(got)
        try:
            loads(got)
        except RecursionError:
            pass
        except CBORDecodeError as e:
            raise Finding("loads refuses what the Encoder (%r) wrote, %s: %s" % (options, got[:64].hex(), e))
    finally:
        sys.setrecursionlimit(limit)


def again_in_thread(value, indefinite, max_depth, first, flags, same):
    """The call again, on a thread with a 1 MiB stack: nesting meets the native
    stack bound there. Its output must be well-formed and, without mutating
    hooks, the same as the first call's."""
    box = []

    def run():
        try:
            box.append(dumps(value, indefinite, max_depth))
        except BaseException as e:  # noqa: B902 - judged below
            box.append(e)

    saved = threading.stack_size(1 << 20)
    try:
        t = threading.Thread(target=run)
    finally:
        threading.stack_size(saved)
    ARMED[0] = True
    try:
        t.start()
        t.join()
    finally:
        ARMED[0] = False
    got = box[0]
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(DEEP_LIMIT)
    try:
        if isinstance(got, BaseException):
            if isinstance(got, HookError) and flags["hook"]:
                return
            if not documented(got, max_depth):
                raise Finding("on a thread: undocumented error %r" % (got,)) from got
            return
        check_form(got, indefinite)
        decode_whole(got)
        if same and first is not None and got != first:
            raise Finding("on a thread: wrote %s, first %s" % (got[:100].hex(), first[:100].hex()))
    finally:
        sys.setrecursionlimit(limit)


def judge(result, error, want, flags, indefinite, max_depth, refused):
    if refused:
        want = Outcome(TypeError)
    if error is not None:
        if isinstance(error, MemoryError):
            return
        if isinstance(error, HookError) and flags["hook"]:
            return
        if isinstance(error, RecursionError) and flags["recursion"] and not refused:
            return
        if isinstance(error, (Finding, KeyboardInterrupt, SystemExit)):
            raise error
        if not isinstance(want, Outcome):
            raise Finding("expected %d bytes, got %r" % (len(b"".join(encode_list(want, indefinite))), error)) from error
        check_error(error, want, max_depth)
        return
    if type(result) is not bytes:
        raise Finding("dumps returned %r" % type(result))
    if isinstance(want, Outcome) and want.kind != "any":
        raise Finding("expected %s %r, got bytes %s" % (want.kind, want.message, result[:64].hex()))
    check_form(result, indefinite)
    decoded = decode_whole(result)
    if isinstance(want, Outcome):
        return
    expected = b"".join(encode_list(want, indefinite))
    if result != expected:
        raise Finding("wrote %s, expected %s" % (result[:200].hex(), expected[:200].hex()))
    if canonical(decoded) != canonical(to_python(want)):
        raise Finding("cbor2 read back %r" % (decoded,))


def encode_list(tree, indefinite):
    out = []
    encode(tree, indefinite, out)
    return out


NESTED_EXPECTED.update({i: b"".join(encode_list(NESTED_TREE, i)) for i in (False, True)})


def main():
    warnings.simplefilter("ignore")  # NumPy's overflow and complex-cast warnings
    sys.setrecursionlimit(1000)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
