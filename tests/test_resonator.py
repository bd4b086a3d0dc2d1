import ctypes
import math
import operator
import random

import pytest
from conftest import expected_notes, notes_of

from tesmerine import PhaseHVec
from tesmerine import resonator_factorize as RF

TAU = 6.283185307179586  # the double nearest to 2*pi
RES = (2, 3, 4, 5, 7, 12, 16, 100, 256, 1000, 65535, 65536)


# Reference resonator: the same steps in the same order, on Python floats (IEEE doubles, the same libm).
def unit(phases, n):
    angles = [(p * TAU) / n for p in phases]
    return [math.cos(a) for a in angles], [math.sin(a) for a in angles]


def snap(re, im, n):
    def step(t):  # nearest integer, halves away from zero
        k = math.floor(abs(t))
        k += abs(t) - k >= 0.5
        return k if t >= 0 else -k
    return unit([step(math.atan2(y, x) / TAU * n) % n for x, y in zip(re, im)], n)


def dot(a, b):
    s = 0.0
    for ar, ai, br, bi in zip(*a, *b):
        s = s + (ar * br + ai * bi)
    return s


def best_match(book, est):
    best = (0, 0.0)
    for j, e in enumerate(book):
        sim = dot(e, est) / (len(est[0]) or 1)
        best = (j, sim) if j == 0 or best[1] <= sim else best
    return best


def superpose(book, weights, dim, n):
    re, im = [0.0] * dim, [0.0] * dim
    for (er, ei), s in zip(book, weights):
        for i in range(dim):
            re[i], im[i] = re[i] + s * er[i], im[i] + s * ei[i]
    return snap(re, im, n)


def reference(composite, codebooks, max_iter):
    books = [[unit(e.phases(), e.n) for e in book] for book in codebooks]
    comp, dim, n = unit(composite.phases(), composite.n), composite.dim, composite.n
    est = [superpose(book, [1.0] * len(book), dim, n) for book in books]  # 1.0 * x is exactly x
    prev, stable, sweep = None, 0, 0
    while max_iter and books:
        sweep += 1
        for f, book in enumerate(books):
            wr, wi = list(comp[0]), list(comp[1])
            for er, ei in est[:f] + est[f + 1:]:  # the other factors' current estimates, ascending
                for i in range(dim):
                    wr[i], wi[i] = wr[i] * er[i] + wi[i] * ei[i], wi[i] * er[i] - wr[i] * ei[i]
            est[f] = superpose(book, [dot(e, (wr, wi)) for e in book], dim, n)
        cur = [best_match(b, e)[0] for b, e in zip(books, est)]
        if cur == prev and stable > 1:
            break
        stable, prev = (stable + 1 if cur == prev else 0), cur
        if sweep == max_iter:
            break
    return [best_match(b, e) for b, e in zip(books, est)]


def problem(seed, dim, n, sizes, mixed=False, bound=True):
    """Seeded codebooks (entries at random resolutions if mixed) and a composite: the binding of
    one resolution-n entry per codebook, or a random vector."""
    rng = random.Random(seed)
    books = [[PhaseHVec.random(dim, rng.choice(RES) if mixed else n, rng.getrandbits(64)) for _ in range(m)]
             for m in sizes]
    composite = PhaseHVec.random(dim, n, rng.getrandbits(64))
    if bound:
        composite = composite.unbind(composite)  # phase 0 everywhere
        for picks in ([e for e in book if e.n == n] for book in books):
            composite = composite.bind(rng.choice(picks)) if picks else composite
    return composite, books


_rng = random.Random(7)
SMALL = [  # (seed, dim, n, codebook sizes, max_iter, mixed, bound): every (F, max_iter) pair occurs
    (k, _rng.choice((0, 1, 2, 3, 5, 8, 16, 32)), _rng.choice(RES), tuple(_rng.randint(0, 12) for _ in range(k % 5)),
     (0, 1, 2, 3, 5, 50)[k % 6], k % 3 == 0, k % 4 != 3) for k in range(150)]


@pytest.mark.parametrize("seed, dim, n, sizes, max_iter, mixed, bound", [
    *SMALL, (100, 256, 16, (12, 12, 12, 12), 50, False, True), (101, 256, 65536, (8, 8), 5, True, True),
    (102, 256, 3, (5, 6, 7), 50, False, False)])
def test_matches_reference(seed, dim, n, sizes, max_iter, mixed, bound):
    composite, books = problem(seed, dim, n, sizes, mixed, bound)
    expected = [(i, s.hex()) for i, s in reference(composite, books, max_iter)]
    for _ in range(2):  # and again: repeated calls are bit-identical
        assert [(i, s.hex()) for i, s in RF(composite, books, max_iter)] == expected


def test_recovers_bound_factors():
    hits = 0
    for t in range(60):
        books = [[PhaseHVec.random(1024, 256, (3 * t + f) * 64 + j) for j in range(16)] for f in range(3)]
        picks = [(7 * t + 5 * f) % 16 for f in range(3)]
        composite = books[0][picks[0]].bind(books[1][picks[1]]).bind(books[2][picks[2]])
        hits += [i for i, _ in RF(composite, books)] == picks
    assert hits >= 54  # all 60 are recovered here, and 193 of the first 200 trials


def test_edge_cases(vec):
    book = [vec(64, 4, s) for s in (2, 3, 4)]
    # n = 4 phasors square to exactly 1, so an entry matches its own snapped copy with 1.0.
    assert RF(book[1], [book]) == [(1, 1.0)]
    # An empty codebook's estimate (phase 0 everywhere) unbinds as the identity.
    assert RF(book[1], [[], book, []], 2**64 - 1) == [(0, 0.0), (1, 1.0), (0, 0.0)]
    for composite in (vec(64, 4), vec(0, 3), vec(5, 65536)):
        assert RF(composite, []) == [] == RF(composite, (), 0)
    # No sweeps: the snapped sum of [0, 0], [0, 0], [2, 1] is [0, 0] (the tie goes to entry 1) and
    # a lone entry matches itself, whatever the composite.
    zero = vec(2, 4).unbind(vec(2, 4))
    odd = next(v for v in map(vec, [2] * 99, [4] * 99, range(99)) if v.phases() == [2, 1])
    for composite in (vec(2, 4, 5), vec(2, 4, 6)):
        assert RF(composite, [[zero, zero, odd], [odd]], 0) == [(1, 1.0), (0, 1.0)]
    assert [i for i, _ in RF(vec(16, 8, 9), [[vec(16, 8, 1) for _ in range(4)], [vec(16, 3, 2)] * 3])] == [3, 2]
    for max_iter in (0, 1, 50):
        books = [[vec(0, 4, s) for s in range(3)], [], [vec(0, 7)]]
        assert RF(vec(0, 8), books, max_iter) == [(2, 0.0), (0, 0.0), (0, 0.0)]
    result = RF(*problem(3, 8, 5, (2, 3)))
    assert type(result) is list and [tuple(map(type, r)) for r in result if type(r) is tuple] == [(int, float)] * 2


def test_max_iter_and_accepted_forms():
    composite, books = problem(1, 256, 16, (8, 8, 8))
    converged = RF(composite, books, 50)
    assert reference(composite, books, 2**64 - 1) == converged == RF(composite, books, 2**64 - 1)
    assert RF(max_iter=50, codebooks=Items([tuple(b) for b in books]), composite=composite) == converged
    assert RF(composite, books, True) == RF(composite, books, 1)
    composite, books = problem(25, 6, 8, (4, 5, 3), bound=False)  # indices still moving at 49, 50 and 51 sweeps
    by_sweeps = [reference(composite, books, k) for k in (49, 50, 51)]
    assert by_sweeps[0] != by_sweeps[1] != by_sweeps[2] and RF(composite, books) == by_sweeps[1]


@pytest.mark.parametrize("dim, dims, max_iter, length", [
    (5, [[5, 3]], 50, 3), (5, [[5, 7], [2]], 50, 2), (5, [[4], [5, 2]], 0, 4), (5, [[0]], 0, 0),
    (5, [[5], [5, 6]], 50, 5), (5, [[6], []], 0, 5), (0, [[], [1]], 1, 0), (0, [[2]], 0, 0)])
def test_dimension_mismatch_panics(vec, dim, dims, max_iter, length):
    books = [[vec(d, 4 + k, d) for k, d in enumerate(ds)] for ds in dims]  # resolutions differ too
    with pytest.raises(BaseException) as info:
        RF(vec(dim, 4), books, max_iter)
    assert (type(info.value).__module__, type(info.value).__qualname__) == ("pyo3_runtime", "PanicException")
    assert info.value.args == (f"index out of bounds: the len is {length} but the index is {length}",)
    assert not isinstance(info.value, Exception) and notes_of(info.value) == []
    assert RF(vec(5, 4), [[vec(5, 4)]]) == [(0, 1.0)]


class Items:
    """A sequence whose len() fails and whose item `bad` raises."""
    def __init__(self, items, bad=-1):
        self.items, self.bad = items, bad

    def __len__(self):
        raise ZeroDivisionError("no length")

    def __getitem__(self, i):
        if i == self.bad:
            raise ZeroDivisionError(f"item {i}")
        return self.items[i]


class NoIter(Items):
    def __iter__(self):
        raise ZeroDivisionError("no iterator")


AS_U64 = ctypes.PYFUNCTYPE(ctypes.c_ulonglong, ctypes.py_object)(("PyLong_AsUnsignedLongLong", ctypes.pythonapi))


def u64_error(x):
    """The interpreter's own error for x as an unsigned 64-bit integer."""
    try:
        AS_U64(operator.index(x))
    except (TypeError, OverflowError) as e:
        return type(e), str(e)


NOT_A = "'{}' object is not an instance of '{}'".format
ARGUMENT_ERRORS = [  # (arguments made from a vector v, exception type, message, parameter)
    (lambda v: (3, [[v]]), TypeError, NOT_A("int", "PhaseHVec"), "composite"),
    (lambda v: (None, "ab", -1), TypeError, "'None' is not an instance of 'PhaseHVec'", "composite"),
    (lambda v: (v, "ab", -1), TypeError, "Can't extract `str` to `Vec`", "codebooks"),
    (lambda v: (v, [[v], ""]), TypeError, "Can't extract `str` to `Vec`", "codebooks"),
    (lambda v: (v, {v}), TypeError, NOT_A("set", "Sequence"), "codebooks"),
    (lambda v: (v, ([v] for _ in "x")), TypeError, NOT_A("generator", "Sequence"), "codebooks"),
    (lambda v: (v, [[v], 3]), TypeError, NOT_A("int", "Sequence"), "codebooks"),
    (lambda v: (v, [v]), TypeError, NOT_A("PhaseHVec", "Sequence"), "codebooks"),
    (lambda v: (v, [(v,), [v, None]], None), TypeError, "'None' is not an instance of 'PhaseHVec'", "codebooks"),
    (lambda v: (v, Items([[v], [v]], 1), -1), ZeroDivisionError, "item 1", "codebooks"),
    (lambda v: (v, [[v], Items([v, v], 1)]), ZeroDivisionError, "item 1", "codebooks"),
    (lambda v: (v, NoIter([[v]])), ZeroDivisionError, "no iterator", "codebooks"),
    (lambda v: (v, [[v], NoIter([v])]), ZeroDivisionError, "no iterator", "codebooks"),
    *[(lambda v, x=x: (v, [[v]], x), *u64_error(x), "max_iter") for x in (None, -1, 2**64, 1.5, "3")],
]


def state(x):
    """Lists, tuples and vectors by value, anything else by identity."""
    if isinstance(x, (list, tuple)):
        return [type(x), *map(state, x)]
    return (x.dim, x.n, x.phases()) if isinstance(x, PhaseHVec) else id(x)


@pytest.mark.parametrize("make, exc, message, param", ARGUMENT_ERRORS)
def test_argument_errors(vec, make, exc, message, param):
    args = make(vec(4, 8))
    before = state(args)
    with pytest.raises(BaseException) as info:
        RF(*args)
    assert (type(info.value), str(info.value), notes_of(info.value)) == (exc, message, expected_notes(param))
    assert state(args) == before


@pytest.mark.parametrize("args, kwargs, message", [
    ((1, [], 5, 6), {}, "takes from 2 to 3 positional arguments but 4 were given"),
    ((), {"max_iter": 1}, "missing 2 required positional arguments: 'composite' and 'codebooks'"),
    ((), {"codebooks": []}, "missing 1 required positional argument: 'composite'"),
    ((1, [], 1), {"max_iter": 2}, "got multiple values for argument 'max_iter'"),
    ((), {"x": 1, "composite": 1}, "got an unexpected keyword argument 'x'")])
def test_parsing_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        RF(*args, **kwargs)
    assert (str(info.value), notes_of(info.value)) == ("resonator_factorize() " + message, [])
