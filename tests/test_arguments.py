import ctypes
import operator
import os
import subprocess
import sys
import textwrap

import pytest
from conftest import expected_notes, notes_of

import tesmerine
from tesmerine import PhaseHVec as P
from tesmerine import resonator_factorize as RF

A, B, C4 = P.random(3, 16, 1), P.random(3, 16, 2), P.random(4, 16, 3)
BOOKS = [[A, B]]
REF = [7, 13, 9, 14, 12, 10, 0, 12]  # P.random(8, 16, 42)


def caught(call):
    try:
        call()
    except BaseException as exc:  # PanicException is not an Exception
        return exc
    pytest.fail("no exception raised")


def capi(name, restype, value):
    """The exception the interpreter's own C conversion raises for `value`."""
    function = getattr(ctypes.pythonapi, name)
    function.argtypes, function.restype = [ctypes.py_object], restype
    return caught(lambda: function(value))


def index(value):
    return caught(lambda: operator.index(value))


def wrong(name, expected="PhaseHVec"):
    return TypeError(f"'{name}' object is not an instance of '{expected}'")


NEG, BIG = (capi("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, v) for v in (-1, 2**64))
LONG_BIG = capi("PyLong_AsLong", ctypes.c_long, 2**63)
NONE, STR = TypeError("'None' is not an instance of 'PhaseHVec'"), TypeError("Can't extract `str` to `Vec`")
RANGE, ITER = OverflowError("out of range integral type conversion attempted"), RuntimeError("iteration failed")


class Seq:
    """Items by __getitem__; __len__ claims `length` (raises if None); reading item `fail_at` raises."""

    def __init__(self, items, length=None, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        return len(None) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise RuntimeError("iteration failed")
        return self.items[i]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise type(self.value)(*self.value.args)  # a fresh exception on each call
        return self.value


MISSING_OTHER = "PhaseHVec.{}() missing 1 required positional argument: 'other'"
PARSING = [  # (TypeError message, calls...)
    *[(MISSING_OTHER.format(m), lambda m=m: getattr(A, m)()) for m in ("bind", "unbind", "similarity")],
    ("PhaseHVec.bundle() missing 1 required positional argument: 'items'", lambda: P.bundle()),
    ("PhaseHVec.random() missing 3 required positional arguments: 'dim', 'n', and 'seed'", P.random),
    ("PhaseHVec.random() missing 2 required positional arguments: 'n' and 'seed'", lambda: P.random(-1.5)),
    ("PhaseHVec.random() missing 1 required positional argument: 'n'", lambda: P.random(4, seed=1)),
    ("resonator_factorize() missing 2 required positional arguments: 'composite' and 'codebooks'",
     lambda: RF(max_iter=1)),
    ("PhaseHVec.bind() takes 1 positional arguments but 2 were given", lambda: A.bind(A, B), lambda: A.bind(A, B, x=1)),
    ("PhaseHVec.random() takes 3 positional arguments but 4 were given", lambda: P.random(1, 2, 3, 4)),
    ("resonator_factorize() takes from 2 to 3 positional arguments but 4 were given", lambda: RF(A, BOOKS, 5, 6)),
    ("PhaseHVec.bind() got multiple values for argument 'other'",
     lambda: A.bind(A, other=B), lambda: A.bind(A, other=B, x=1)),
    ("resonator_factorize() got multiple values for argument 'max_iter'", lambda: RF(A, BOOKS, 5, max_iter=6)),
    ("PhaseHVec.bind() got an unexpected keyword argument 'x'",
     lambda: A.bind(x=1), lambda: A.bind(x=1, y=2), lambda: A.bind(other=A, x=1), lambda: A.bind(A, x=1, other=B)),
    ("PhaseHVec.bind() got an unexpected keyword argument '\ud800'", lambda: A.bind(**{"\ud800": A})),
    ("PhaseHVec.random() got an unexpected keyword argument 'seeds'", lambda: P.random(-1, seeds=0)),
]
# (expected exception, parameter named in the note or None for no note, calls...)
ERRORS = [(TypeError(message), None, *calls) for message, *calls in PARSING] + [
    (wrong("int"), "other", lambda: A.bind(3), lambda: A.similarity(other=3)),
    (NONE, "other", lambda: A.unbind(None)),
    (NONE, "composite", lambda: RF(None, "ab", -1)),
    (STR, "items", lambda: P.bundle(""), lambda: P.bundle(items=type("S", (str,), {})("ab"))),
    (wrong("set", "Sequence"), "items", lambda: P.bundle({A})),
    (wrong("generator", "Sequence"), "items", lambda: P.bundle(v for v in [A])),
    (TypeError("'None' is not an instance of 'Sequence'"), "items", lambda: P.bundle(None)),
    (wrong("int"), "items", lambda: P.bundle([A, 1]), lambda: P.bundle(range(2**40)), lambda: P.bundle(Seq([1], 9))),
    (NONE, "items", lambda: P.bundle((A, None))),
    (ITER, "items", lambda: P.bundle(Seq([A, A], 2**40, fail_at=1))),
    (STR, "codebooks", lambda: RF(A, "ab"), lambda: RF(A, [[A], "ab"])),
    (wrong("PhaseHVec", "Sequence"), "codebooks", lambda: RF(A, [[A], A])),
    (wrong("int", "Sequence"), "codebooks", lambda: RF(A, 5), lambda: RF(A, range(2**40))),
    (wrong("int"), "codebooks", lambda: RF(A, [[A, 1]], None), lambda: RF(A, [range(2**40)])),
    (ITER, "codebooks", lambda: RF(A, Seq([[A], [B]], 2**40, 1)), lambda: RF(A, [Seq([A], 2**40, 0)])),
    (index(None), "max_iter", lambda: RF(A, BOOKS, max_iter=None)),
    (NEG, "max_iter", lambda: RF(A, BOOKS, -1)),
    (KeyError("m"), "max_iter", lambda: RF(A, BOOKS, Index(KeyError("m")))),
    (NEG, "dim", lambda: P.random(-1, 4, 0)),
    (BIG, "dim", lambda: P.random(2**64, 4, 0)),
    (index(4.0), "dim", lambda: P.random(4.0, 1.5, -1)),
    (index(Index("7")), "dim", lambda: P.random(Index("7"), 4, 0)),
    (ZeroDivisionError("d"), "dim", lambda: P.random(Index(ZeroDivisionError("d")), 4, 0)),
    (RANGE, "n", lambda: P.random(4, -1, 0), lambda: P.random(4, 2**32, 0), lambda: P.random(4, -(2**63), 0)),
    (LONG_BIG, "n", lambda: P.random(4, 2**63, 0), lambda: P.random(4, -(2**63) - 1, 0)),
    (index(1.5), "n", lambda: P.random(4, 1.5, -1)),
    (ZeroDivisionError("n"), "n", lambda: P.random(4, Index(ZeroDivisionError("n")), 0)),
    (NEG, "seed", lambda: P.random(4, 1, -1)),
    (ValueError("s"), "seed", lambda: P.random(4, 16, Index(ValueError("s")))),
    (ValueError("phase vectors differ in dimension or resolution"), None,
     *[lambda op=op, left=left, right=right: getattr(P.random(*left, 1), op)(P.random(*right, 2))
       for op in ("bind", "unbind", "similarity") for left, right in [((4, 16), (5, 16)), ((4, 16), (4, 8)),
                                                                      ((4, 16), (5, 8)), ((0, 16), (0, 8))]]),
    (ValueError("n (phase resolution) must be in 2..=65536"), None,
     *[lambda dim=dim, n=n: P.random(dim, n, 0) for dim in (0, 4) for n in (0, 1, 65537, 2**32 - 1)]),
    (ValueError("cannot bundle an empty list"), None, lambda: P.bundle([]), lambda: P.bundle(Seq((), 2**40))),
]


@pytest.mark.parametrize("row", ERRORS)
def test_error_type_message_and_note(row):
    expected, param, *calls = row
    for call in calls:
        exc = caught(call)
        assert (type(exc), str(exc)) == (type(expected), str(expected))
        assert notes_of(exc) == (expected_notes(param) if param else [])


@pytest.mark.parametrize("length", [None, -1, 0, 2, 2**40, sys.maxsize, 2**70])
def test_reported_length_is_only_a_hint(length):
    assert P.bundle(Seq([A, B], length)).phases() == P.bundle((A, B)).phases() == P.bundle([A, B]).phases()
    assert RF(A, Seq([Seq([A, B], length), (B,)], length), 3) == RF(A, [[A, B], [B]], 3)


def test_integers_through_index():
    assert P.random(Index(8), Index(16), Index(42)).phases() == REF and RF(A, BOOKS, Index(0)) == RF(A, BOOKS, 0)
    assert RF(A, BOOKS) == RF(A, BOOKS, 50) and RF(A, BOOKS, True) == RF(A, BOOKS, 1)


def flatten(objects):
    for obj in objects:
        yield obj
        if isinstance(obj, list):
            yield from flatten(obj)


@pytest.mark.parametrize("function, args, kwargs", [
    (A.bind, (C4,), {}), (A.bind, (A,), {"x": object()}), (P.bundle, ([A, B, object()],), {}),
    (P.bundle, ([A, C4],), {}), (P.random, (4, 1, Index(ValueError("s"))), {}),
    (RF, (A, [[A, B], [object()]]), {}), (RF, (A, [[A, B]]), {"max_iter": -1}), (RF, (A, [[A, C4]]), {}),
])
def test_failed_calls_leave_arguments_unchanged(function, args, kwargs):
    objects = [o for o in flatten([*args, *kwargs.values()]) if not isinstance(o, int)]  # small ints are shared

    def state():
        return [(sys.getrefcount(o), o.phases() if isinstance(o, P) else None,
                 [id(x) for x in o] if isinstance(o, list) else None) for o in objects]

    before = state()
    for _ in range(3):
        caught(lambda: function(*args, **kwargs))
    after = state()
    assert after == before


DIM_MISMATCH = "assertion `left == right` failed: phase-vector dimension mismatch in bundle\n  left: 4\n right: 3"
N_MISMATCH = "assertion `left == right` failed: phase-vector resolution mismatch in bundle\n  left: 8\n right: 16"


@pytest.mark.parametrize("call, message", [
    (lambda: P.random(2**62, 4, 0), "capacity overflow"), (lambda: P.random(2**64 - 1, 4, 0), "capacity overflow"),
    (lambda: P.bundle([A, C4]), DIM_MISMATCH), (lambda: P.bundle([A, A, P.random(3, 8, 0), C4]), N_MISMATCH),
])
def test_panic_exception(call, message):
    panic = caught(call)
    cls = type(panic)
    assert not isinstance(panic, Exception) and cls.__bases__ == (BaseException,)
    assert (cls.__module__, cls.__qualname__, cls.__name__) == ("pyo3_runtime", "PanicException", "PanicException")
    assert panic.args == (message,) and notes_of(panic) == [] and "BaseException" in cls.__doc__
    assert type(caught(lambda: P.bundle([C4, A]))) is cls and all(v is not cls for v in vars(tesmerine).values())
    assert P.random(8, 16, 42).phases() == REF and P.bundle([A]).phases() == A.phases()


@pytest.mark.skipif(sys.platform == "win32", reason="needs resource.setrlimit")
@pytest.mark.skipif(bool(os.environ.get("TESMERINE_SANITIZED")), reason="ASan cannot run under an address-space cap")
def test_memory_exhaustion_raises_memory_error():
    code = f"""
        import resource, sys
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        sys.path.insert(0, {os.path.dirname(tesmerine.__file__)!r})
        from tesmerine import PhaseHVec
        for dim in (2**40, 2**62 - 1):
            try:
                PhaseHVec.random(dim, 4, 0)
            except MemoryError as exc:
                print(type(exc).__name__)
        print(PhaseHVec.random(8, 16, 42).phases())
    """
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout.splitlines()) == (0, ["MemoryError", "MemoryError", str(REF)])
