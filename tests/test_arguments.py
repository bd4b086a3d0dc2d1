# Every error of every entry point: parsing, conversion, core ValueErrors and PanicException.
import ctypes
import operator
import sys

import pytest
from conftest import REF, RF, Index, NoIter, P, Seq, caught, expected_notes, outcome

import tesmerine

A, B, C4, N8 = P.random(3, 16, 1), P.random(3, 16, 2), P.random(4, 16, 3), P.random(3, 8, 4)


def capi(name, restype, value):  # the exception the interpreter's own C conversion raises for `value`
    return caught(lambda: ctypes.PYFUNCTYPE(restype, ctypes.py_object)((name, ctypes.pythonapi))(value))


def wrong(name, expected="PhaseHVec"):
    return TypeError(f"'{name}' object is not an instance of '{expected}'")


NEG, BIG = (capi("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong, v) for v in (-1, 2**64))
LONG_BIG = capi("PyLong_AsLong", ctypes.c_long, 2**63)
NOT_INT, FLOAT = (caught(lambda v=v: operator.index(v)) for v in (None, 1.5))  # the interpreter's own TypeErrors
NONE, STR = TypeError("'None' is not an instance of 'PhaseHVec'"), TypeError("Can't extract `str` to `Vec`")
RANGE, ITER = OverflowError("out of range integral type conversion attempted"), RuntimeError("iteration failed")
PARSING = [  # (TypeError message, calls...)
    *[(f"PhaseHVec.{m}() missing 1 required positional argument: 'other'", lambda m=m: getattr(A, m)())
      for m in ("bind", "unbind", "similarity")],
    ("PhaseHVec.bundle() missing 1 required positional argument: 'items'", lambda: P.bundle()),
    ("PhaseHVec.random() missing 3 required positional arguments: 'dim', 'n', and 'seed'", P.random),
    ("PhaseHVec.random() missing 2 required positional arguments: 'n' and 'seed'", lambda: P.random(-1.5)),
    ("PhaseHVec.random() missing 1 required positional argument: 'n'", lambda: P.random(4, seed=1)),
    ("resonator_factorize() missing 2 required positional arguments: 'composite' and 'codebooks'",
     lambda: RF(max_iter=1)),
    ("PhaseHVec.bind() takes 1 positional arguments but 2 were given", lambda: A.bind(A, B), lambda: A.bind(A, B, x=1)),
    ("resonator_factorize() takes from 2 to 3 positional arguments but 4 were given", lambda: RF(A, [[A, B]], 5, 6)),
    ("PhaseHVec.bind() got multiple values for argument 'other'",
     lambda: A.bind(A, other=B), lambda: A.bind(A, other=B, x=1)),
    ("resonator_factorize() got multiple values for argument 'max_iter'", lambda: RF(A, [[A, B]], 5, max_iter=6)),
    ("PhaseHVec.bind() got an unexpected keyword argument 'x'",
     lambda: A.bind(x=1), lambda: A.bind(x=1, y=2), lambda: A.bind(other=A, x=1), lambda: A.bind(A, x=1, other=B)),
    ("PhaseHVec.bind() got an unexpected keyword argument '\ud800'", lambda: A.bind(**{"\ud800": A})),
    ("PhaseHVec.random() got an unexpected keyword argument 'seeds'", lambda: P.random(-1, seeds=0))]
# (expected exception, parameter named in the note or None for no note, calls...)
ERRORS = [(TypeError(message), None, *calls) for message, *calls in PARSING] + [
    (wrong("int"), "other", lambda: A.bind(3), lambda: A.similarity(other=3)), (NONE, "other", lambda: A.unbind(None)),
    (NONE, "composite", lambda: RF(None, "ab", -1)),
    (STR, "items", lambda: P.bundle(""), lambda: P.bundle(items=type("S", (str,), {})("ab"))),
    (wrong("set", "Sequence"), "items", lambda: P.bundle({A})),
    (wrong("generator", "Sequence"), "items", lambda: P.bundle(v for v in [A])),
    (TypeError("'None' is not an instance of 'Sequence'"), "items", lambda: P.bundle(None)),
    (wrong("int"), "items", lambda: P.bundle([A, 2**9]), lambda: P.bundle(range(2**40)), lambda: P.bundle(Seq([1], 9))),
    (wrong("float"), "items", lambda: P.bundle([A, C4, 1.5])),  # converted in full before any fold
    (ITER, "items", lambda: P.bundle(Seq([A, A], 2**40, fail_at=1))), (NONE, "items", lambda: P.bundle((A, None))),
    (ZeroDivisionError("no iterator"), "items", lambda: P.bundle(NoIter([A]))),
    (STR, "codebooks", lambda: RF(A, "ab", -1), lambda: RF(A, [[A], ""])),
    (wrong("PhaseHVec", "Sequence"), "codebooks", lambda: RF(A, [[A], A])),
    (wrong("int", "Sequence"), "codebooks", lambda: RF(A, 5), lambda: RF(A, range(2**40))),
    (wrong("int"), "codebooks", lambda: RF(A, [[A, 2**9]], None), lambda: RF(A, [range(2**40)])),
    (ITER, "codebooks", lambda: RF(A, Seq([[A], [B]], 2**40, 1)), lambda: RF(A, [Seq([A], 2**40, 0)])),
    (ZeroDivisionError("no iterator"), "codebooks", lambda: RF(A, NoIter([[A]])), lambda: RF(A, [[A], NoIter([A])])),
    (NOT_INT, "max_iter", lambda: RF(A, [[A, B]], max_iter=None)),
    (NEG, "max_iter", lambda: RF(A, [[A, B]], -1)), (NEG, "dim", lambda: P.random(-1, 4, 0)),
    (BIG, "dim", lambda: P.random(2**64, 4, 0)), (FLOAT, "dim", lambda: P.random(4.0, 1.5, -1)),
    (RANGE, "n", lambda: P.random(4, -1, 0), lambda: P.random(4, 2**32, 0), lambda: P.random(4, -(2**63), 0)),
    (LONG_BIG, "n", lambda: P.random(4, 2**63, 0), lambda: P.random(4, -(2**63) - 1, 0)),
    (FLOAT, "n", lambda: P.random(4, 1.5, -1)), (NEG, "seed", lambda: P.random(4, 1, -1)),
    (ZeroDivisionError("n"), "n", lambda: P.random(4, Index(ZeroDivisionError("n")), 0)),
    (ValueError("s"), "seed", lambda: P.random(4, 8, Index(ValueError("s")))),
    (ValueError("phase vectors differ in dimension or resolution"), None, *[  # dim, n, both; dim 0 is no exception
        lambda op=op, a=a, b=b: getattr(a, op)(b) for op in ("bind", "unbind", "similarity")
        for a, b in [(A, C4), (A, N8), (C4, N8), (P.random(0, 16, 1), P.random(0, 8, 1))]]),
    (ValueError("n (phase resolution) must be in 2..=65536"), None,
     *[lambda dim=dim, n=n: P.random(dim, n, 0) for dim in (0, 4) for n in (0, 1, 65537, 2**32 - 1)]),
    (ValueError("cannot bundle an empty list"), None, lambda: P.bundle([]), lambda: P.bundle(()),
     lambda: P.bundle(Seq((), 2**40)))]


@pytest.mark.parametrize("row", ERRORS)
def test_error_type_message_and_note(row):
    expected, param, *calls = row
    want = (type(expected).__name__, str(expected), expected_notes(param))
    assert [outcome(call) for call in calls] == [want] * len(calls)


class Fresh(Seq):  # makes each vector as it is read, so that only the call itself holds it
    def __getitem__(self, i):
        return P.random(300, 16, super().__getitem__(i))


@pytest.mark.parametrize("length", [None, -1, 0, 2, 9, 2**40, sys.maxsize, 2**70])  # what __len__ claims
def test_length_is_only_a_hint_and_items_made_while_converting_stay_alive(length):
    made = [P.random(300, 16, i) for i in range(9)]
    assert P.bundle(Fresh(range(9), length)).phases() == P.bundle(tuple(made)).phases() == P.bundle(made).phases()
    composite, books = made[2].bind(made[7]), [made[:5], made[5:]]
    assert RF(composite, Seq([Fresh(range(5), length), tuple(books[1])], length), 6) == RF(composite, books, 6)


def bundle_of(*shapes):
    return lambda: P.bundle([P.random(d, n, i) for i, (d, n) in enumerate(shapes)])


def factorize(dim, dims, max_iter):  # the entries' resolutions differ from the composite's too
    books = [[P.random(d, 4 + k, d) for k, d in enumerate(ds)] for ds in dims]
    return lambda: RF(P.random(dim, 4, 0), books, max_iter)


MISMATCH = "assertion `left == right` failed: phase-vector {} mismatch in bundle\n  left: {}\n right: {}".format


PANICS = [  # (call, message)
    (lambda: P.random(2**62, 4, 0), "capacity overflow"), (lambda: P.random(2**64 - 1, 4, 0), "capacity overflow"),
    (bundle_of((3, 4), (4, 4)), MISMATCH("dimension", 4, 3)), (bundle_of((3, 4), (3, 8)), MISMATCH("resolution", 8, 4)),
    (bundle_of((3, 4), (5, 8)), MISMATCH("dimension", 5, 3)),  # dimension is tested before resolution
    (bundle_of((3, 4), (3, 4), (3, 8), (2, 4)), MISMATCH("resolution", 8, 4)),  # the earliest item decides
    (bundle_of((0, 4), (0, 5)), MISMATCH("resolution", 5, 4)),
    (bundle_of((2, 65536), (2, 65536), (2, 65535)), MISMATCH("resolution", 65535, 65536)),  # 65536 needs 17 bits
    *[(factorize(*case), f"index out of bounds: the len is {length} but the index is {length}")
      for *case, length in [(5, [[5, 3]], 50, 3), (5, [[5, 7], [2]], 50, 2), (5, [[4], [5, 2]], 0, 4),
                            (5, [[0]], 0, 0), (5, [[5], [5, 6]], 50, 5), (5, [[6], []], 0, 5), (0, [[], [1]], 1, 0),
                            (0, [[2]], 0, 0)]]]


@pytest.mark.parametrize("call, message", PANICS)
def test_panic_exception(call, message):
    cls = type(caught(call))
    assert (cls.__module__, cls.__qualname__, cls.__bases__) == ("pyo3_runtime", "PanicException", (BaseException,))
    assert outcome(call) == ("PanicException", message, []) and "BaseException" in cls.__doc__
    assert type(caught(lambda: P.bundle([C4, A]))) is cls and all(v is not cls for v in vars(tesmerine).values())
    assert P.random(8, 16, 42).phases() == REF and P.bundle([A]).phases() == A.phases() and RF(A, [[B, A]])[0][0] == 1
