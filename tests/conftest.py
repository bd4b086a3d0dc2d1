# Helpers shared by the tests, and the table of every error of every entry point (test_arguments.py, test_leaks.py).
import ctypes
import functools
import math
import operator
import os
import subprocess
import sys
import time

import pytest

from tesmerine import PhaseHVec, resonator_factorize

TWO_PI = 6.283185307179586  # the double nearest to 2*pi
REF = [7, 13, 9, 14, 12, 10, 0, 12]  # PhaseHVec.random(8, 16, 42)
SANITIZED = bool(os.environ.get("TESMERINE_SANITIZED"))
LEAK_CHECKED = SANITIZED or bool(os.environ.get("TESMERINE_VALGRIND"))  # where NumPy's and Dask's leaks are reported
linux_only = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs fork, RLIMIT_AS and /proc")
capped = pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux"), reason="needs RLIMIT_AS, not ASan")

# The start of a child's script that caps its own address space (as `ulimit -v` does): cap(limit) in bytes;
# in_use() is the address space it already takes.
CAP_ADDRESS_SPACE = r"""
import resource
def in_use():
    return int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
def cap(limit):
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
"""


def expected_notes(param):  # a failed conversion's note; interpreters before 3.11 have no add_note
    return [f"while processing '{param}'"] if param and sys.version_info >= (3, 11) else []


def caught(call):  # PanicException derives from BaseException, not Exception
    return pytest.raises(BaseException, call).value


def outcome(call, *args):  # the result (a vector as its n and phases, a float's repr keeps every bit) or the error
    try:
        result = call(*args)
    except BaseException as e:
        return type(e).__name__, str(e), getattr(e, "__notes__", [])
    return (result.n, result.phases()) if isinstance(result, PhaseHVec) else repr(result)


def child(*argv, timeout=300, env=None):  # a fresh interpreter running argv
    return subprocess.run([sys.executable, *map(str, argv)], capture_output=True, text=True, timeout=timeout, env=env)


def ordered_sum(values):  # one addition at a time, in order (sum() may compensate for rounding)
    return functools.reduce(operator.add, values, 0.0)


def round_half_away(x):  # the nearest integer, halves away from zero (round() would go to even)
    m = math.floor(abs(x)) + (abs(x) % 1.0 >= 0.5)
    return m if x >= 0 else -m


@functools.lru_cache(maxsize=None)
def from_phases(phases, n):  # a vector holding exactly `phases`: two seeded vectors bound, met in the middle
    seen = {}
    for seed in range(100000):
        v = PhaseHVec.random(len(phases), n, seed)
        seen[tuple(v.phases())] = v
        w = seen.get(tuple((t - p) % n for t, p in zip(phases, v.phases())))
        if w is not None:
            return w.bind(v)


class Seq:  # a user sequence: __len__ claims `length`, or raises it if it is an exception class; item `fail_at` raises
    def __init__(self, items, length=TypeError, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("from __len__")
        return self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise RuntimeError("iteration failed")
        return self.items[i]


class Index:  # an integer only through __index__ (which lets other threads run); an exception value is raised afresh
    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        if isinstance(self.value, Exception):
            raise type(self.value)(*self.value.args)
        return self.value


class Hostile(type):  # a metaclass whose classes raise their attribute `raised` when asked for their __qualname__
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise type.__getattribute__(cls, "raised")("no name")
        return type.__getattribute__(cls, name)


class Loud(Exception):  # its add_note raises the exception class given after its message
    def add_note(self, note):
        raise self.args[1]("from add_note")


NoIter = type("NoIter", (Seq,), {"__iter__": lambda self: 1 / 0})
random_vec, bundle, factorize = PhaseHVec.random, PhaseHVec.bundle, resonator_factorize
VEC, VEC2 = random_vec(3, 16, 1), random_vec(3, 16, 2)
LONGER, COARSER = random_vec(4, 16, 3), random_vec(3, 8, 4)  # unlike VEC in dimension, in resolution
NAMELESS = Hostile("T", (), {"raised": ValueError})


def capi(name, restype, value):  # the exception the interpreter's own C conversion raises for `value`
    return caught(lambda: ctypes.PYFUNCTYPE(restype, ctypes.py_object)((name, ctypes.pythonapi))(value))


def wrong(name, expected="PhaseHVec"):
    return TypeError(f"'{name}' object is not an instance of '{expected}'")


NEGATIVE, TOO_BIG = (capi("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, v) for v in (-1, 2**64))
TOO_BIG_SIGNED = capi("PyLong_AsLong", ctypes.c_long, 2**63)
NOT_INT, FLOAT = (caught(lambda v=v: operator.index(v)) for v in (None, 1.5))  # the interpreter's own TypeErrors
NONE, STR = TypeError("'None' is not an instance of 'PhaseHVec'"), TypeError("Can't extract `str` to `Vec`")
RANGE, ITER = OverflowError("out of range integral type conversion attempted"), RuntimeError("iteration failed")
NO_ITER = caught(lambda: 1 / 0)
PARSING = [  # (TypeError message, calls...)
    *[(f"PhaseHVec.{m}() missing 1 required positional argument: 'other'", lambda m=m: getattr(VEC, m)())
      for m in ("bind", "unbind", "similarity")],
    ("PhaseHVec.bundle() missing 1 required positional argument: 'items'", lambda: bundle()),
    ("PhaseHVec.random() missing 3 required positional arguments: 'dim', 'n', and 'seed'", random_vec),
    ("PhaseHVec.random() missing 2 required positional arguments: 'n' and 'seed'", lambda: random_vec(-1.5)),
    ("PhaseHVec.random() missing 1 required positional argument: 'n'", lambda: random_vec(4, seed=1)),
    ("resonator_factorize() missing 2 required positional arguments: 'composite' and 'codebooks'",
     lambda: factorize(max_iter=1)),
    ("PhaseHVec.bind() takes 1 positional arguments but 2 were given",
     lambda: VEC.bind(VEC, VEC2), lambda: VEC.bind(VEC, VEC2, x=1)),
    ("resonator_factorize() takes from 2 to 3 positional arguments but 4 were given",
     lambda: factorize(VEC, [[VEC, VEC2]], 5, 6)),
    ("PhaseHVec.bind() got multiple values for argument 'other'",
     lambda: VEC.bind(VEC, other=VEC2), lambda: VEC.bind(VEC, other=VEC2, x=1)),
    ("resonator_factorize() got multiple values for argument 'max_iter'",
     lambda: factorize(VEC, [[VEC, VEC2]], 5, max_iter=6)),
    ("PhaseHVec.bind() got an unexpected keyword argument 'x'",
     lambda: VEC.bind(x=1), lambda: VEC.bind(x=1, y=2), lambda: VEC.bind(other=VEC, x=1),
     lambda: VEC.bind(VEC, x=1, other=VEC2)),
    ("PhaseHVec.bind() got an unexpected keyword argument '\ud800'", lambda: VEC.bind(**{"\ud800": VEC})),
    ("PhaseHVec.random() got an unexpected keyword argument 'seeds'", lambda: random_vec(-1, seeds=0))]
ERRORS = [(TypeError(message), None, *calls) for message, *calls in PARSING] + [  # (error, note's parameter, calls...)
    (wrong("int"), "other", lambda: VEC.bind(3), lambda: VEC.similarity(other=3)),
    (NONE, "other", lambda: VEC.unbind(None)),
    (wrong("<failed to extract type name>"), "other", lambda: VEC.bind(NAMELESS())),
    (NONE, "composite", lambda: factorize(None, "ab", -1)),
    (STR, "items", lambda: bundle(""), lambda: bundle(items=type("S", (str,), {})("ab"))),
    (wrong("set", "Sequence"), "items", lambda: bundle({VEC})),
    (wrong("generator", "Sequence"), "items", lambda: bundle(v for v in [VEC])),
    (TypeError("'None' is not an instance of 'Sequence'"), "items", lambda: bundle(None)),
    (wrong("int"), "items", lambda: bundle([VEC, 2**9]), lambda: bundle(range(2**40)), lambda: bundle(Seq([1], 9))),
    (wrong("float"), "items", lambda: bundle([VEC, LONGER, 1.5])),  # converted in full before any fold
    (ITER, "items", lambda: bundle(Seq([VEC, VEC], 2**40, fail_at=1))), (NONE, "items", lambda: bundle((VEC, None))),
    (NO_ITER, "items", lambda: bundle(NoIter([VEC]))),
    (STR, "codebooks", lambda: factorize(VEC, "ab", -1), lambda: factorize(VEC, [[VEC], ""])),
    (wrong("PhaseHVec", "Sequence"), "codebooks", lambda: factorize(VEC, [[VEC], VEC])),
    (wrong("int", "Sequence"), "codebooks", lambda: factorize(VEC, 5), lambda: factorize(VEC, range(2**40))),
    (wrong("int"), "codebooks", lambda: factorize(VEC, [[VEC, 2**9]], None), lambda: factorize(VEC, [range(2**40)])),
    (ITER, "codebooks",
     lambda: factorize(VEC, Seq([[VEC], [VEC2]], 2**40, 1)), lambda: factorize(VEC, [Seq([VEC], 2**40, 0)])),
    (NO_ITER, "codebooks", lambda: factorize(VEC, NoIter([[VEC]])), lambda: factorize(VEC, [[VEC], NoIter([VEC])])),
    (NOT_INT, "max_iter", lambda: factorize(VEC, [[VEC, VEC2]], max_iter=None)),
    (NEGATIVE, "max_iter", lambda: factorize(VEC, [[VEC, VEC2]], -1)), (NEGATIVE, "dim", lambda: random_vec(-1, 4, 0)),
    (TOO_BIG, "dim", lambda: random_vec(2**64, 4, 0)), (FLOAT, "dim", lambda: random_vec(4.0, 1.5, -1)),
    (RANGE, "n", lambda: random_vec(4, -1, 0), lambda: random_vec(4, 2**32, 0), lambda: random_vec(4, -(2**63), 0)),
    (TOO_BIG_SIGNED, "n", lambda: random_vec(4, 2**63, 0), lambda: random_vec(4, -(2**63) - 1, 0)),
    (FLOAT, "n", lambda: random_vec(4, 1.5, -1)), (NEGATIVE, "seed", lambda: random_vec(4, 1, -1)),
    (ZeroDivisionError("n"), "n", lambda: random_vec(4, Index(ZeroDivisionError("n")), 0)),
    (ValueError("s"), "seed", lambda: random_vec(4, 8, Index(ValueError("s")))),
    (Loud("bad", ValueError), None, lambda: random_vec(4, 8, Index(Loud("bad", ValueError)))),  # add_note failed
    (ValueError("phase vectors differ in dimension or resolution"), None, *[  # dim, n, both; dim 0 is no exception
        lambda op=op, a=a, b=b: getattr(a, op)(b) for op in ("bind", "unbind", "similarity")
        for a, b in [(VEC, LONGER), (VEC, COARSER), (LONGER, COARSER), (random_vec(0, 16, 1), random_vec(0, 8, 1))]]),
    (ValueError("n (phase resolution) must be in 2..=65536"), None,
     *[lambda dim=dim, n=n: random_vec(dim, n, 0) for dim in (0, 4) for n in (0, 1, 65537, 2**32 - 1)]),
    (ValueError("cannot bundle an empty list"), None, lambda: bundle([]), lambda: bundle(()),
     lambda: bundle(Seq((), 2**40)))]


def bundle_of(*shapes):
    return lambda: bundle([random_vec(d, n, i) for i, (d, n) in enumerate(shapes)])


def factorize_books(dim, dims, max_iter):  # the entries' resolutions differ from the composite's too
    books = [[random_vec(d, 4 + k, d) for k, d in enumerate(ds)] for ds in dims]
    return lambda: factorize(random_vec(dim, 4, 0), books, max_iter)


MISMATCH = "assertion `left == right` failed: phase-vector {} mismatch in bundle\n  left: {}\n right: {}".format
PANICS = [  # (call, message)
    (lambda: random_vec(2**62, 4, 0), "capacity overflow"), (lambda: random_vec(2**64 - 1, 4, 0), "capacity overflow"),
    (bundle_of((3, 4), (4, 4)), MISMATCH("dimension", 4, 3)), (bundle_of((3, 4), (3, 8)), MISMATCH("resolution", 8, 4)),
    (bundle_of((3, 4), (5, 8)), MISMATCH("dimension", 5, 3)),  # dimension is tested before resolution
    (bundle_of((3, 4), (3, 4), (3, 8), (2, 4)), MISMATCH("resolution", 8, 4)),  # the earliest item decides
    (bundle_of((0, 4), (0, 5)), MISMATCH("resolution", 5, 4)),
    (bundle_of((2, 65536), (2, 65536), (2, 65535)), MISMATCH("resolution", 65535, 65536)),  # 65536 needs 17 bits
    *[(factorize_books(*case), f"index out of bounds: the len is {length} but the index is {length}")
      for *case, length in [(5, [[5, 3]], 50, 3), (5, [[5, 7], [2]], 50, 2), (5, [[4], [5, 2]], 0, 4),
                            (5, [[0]], 0, 0), (5, [[5], [5, 6]], 50, 5), (5, [[6], []], 0, 5), (0, [[], [1]], 1, 0),
                            (0, [[2]], 0, 0)]]]
