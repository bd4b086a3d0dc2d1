"""Similarity and bundling: worked values, tie-breaks, a bit-exact reference model, bad input."""
import functools
import itertools
import math
import random
import struct

import pytest

from conftest import PhaseHVec, expected_notes, notes_of

TWO_PI = 6.283185307179586
RESOLUTIONS = [2, 3, 4, 5, 7, 8, 16, 255, 256, 360, 1000, 4096, 65535, 65536]


# Reference model: the same double-precision steps, one at a time, in Python.
def rhaz(x):  # nearest integer, halves away from zero (round() would go to even)
    m = math.floor(abs(x)) + (abs(x) % 1.0 >= 0.5)
    return m if x >= 0 else -m


@functools.lru_cache(maxsize=None)
def tables(n):
    angles = [(k * TWO_PI) / float(n) for k in range(n)]
    return [rhaz(math.cos(a) * 16384.0) for a in angles], [rhaz(math.sin(a) * 16384.0) for a in angles]


def model_similarity(a, b, n):
    s = 0.0
    for p, q in zip(a, b):  # one addition at a time, ascending index
        s += math.cos((float(p - q) * TWO_PI) / float(n))
    return s / float(len(a)) if a else 1.0


def model_bundle(items, n):
    c, s = tables(n)
    sums = [(sum(s[p] for p in col), sum(c[p] for p in col)) for col in zip(*items)]
    return [rhaz((math.atan2(float(y), float(x)) / TWO_PI) * float(n)) % n for y, x in sums]


@functools.lru_cache(maxsize=None)
def from_phases(phases, n):
    """A vector with the given phases (a tuple): a seeded vector bound to the zero vector or another one."""
    zero = PhaseHVec.random(len(phases), n, 0).unbind(PhaseHVec.random(len(phases), n, 0))
    seen = {tuple(zero.phases()): zero}
    for seed in itertools.count():
        v = PhaseHVec.random(len(phases), n, seed)
        w = seen.get(tuple((t - g) % n for t, g in zip(phases, v.phases())))
        if w is not None:
            assert w.bind(v).phases() == list(phases)
            return w.bind(v)
        seen[tuple(v.phases())] = v


class Seq:
    """A user sequence with a failing len(); indexing past `items` raises `end`."""
    def __init__(self, items, end=IndexError):
        self.items, self.end = items, end

    def __len__(self):
        raise ArithmeticError("only the size hint is lost")

    def __getitem__(self, i):
        if i < len(self.items):
            return self.items[i]
        raise self.end


class NoIter(Seq):
    def __iter__(self):
        raise ZeroDivisionError("no iterator")


def test_reference_model_constants():
    assert struct.pack(">d", TWO_PI).hex() == "401921fb54442d18"
    assert [rhaz(x) for x in (0.5, -0.5, 1.5, -2.5, 2.4, 0.49999999999999994)] == [1, -1, 2, -3, 2, 0]
    assert tables(3) == ([16384, -8192, -8192], [0, 14189, -14189])
    assert tables(4) == ([16384, 0, -16384, 0], [0, 16384, 0, -16384])
    assert tables(8) == ([16384, 11585, 0, -11585, -16384, -11585, 0, 11585],
                         [0, 11585, 16384, 11585, 0, -11585, -16384, -11585])


@pytest.mark.parametrize("n, a, b, expected", [
    (4, (0, 1, 2), (0, 3, 0), -0.3333333333333333),
    (3, (0,), (1,), -0.4999999999999998),  # differences are not reduced modulo n
    (3, (0,), (2,), -0.5000000000000004),
    (3, (1,), (0,), -0.4999999999999998),
    (5, (), (), 1.0),
])
def test_similarity_worked_values(n, a, b, expected):
    got = from_phases(a, n).similarity(other=from_phases(b, n))
    assert type(got) is float and got == expected == model_similarity(a, b, n)


@pytest.mark.parametrize("dim, n", [(1, 2), (16, 2), (8, 4), (5, 6), (3, 16), (1, 65536)])
def test_similarity_self_is_one_and_opposite_is_minus_one(dim, n):
    half = from_phases((n // 2,) * dim, n)
    for seed in range(3):
        a, big = PhaseHVec.random(dim, n, seed), PhaseHVec.random(257, n, seed)
        assert a.similarity(a) == 1.0 and big.similarity(big) == 1.0
        assert a.similarity(a.bind(half)) == -1.0 == a.bind(half).similarity(a)


@pytest.mark.parametrize("sa, sb", [((3, 4), (4, 4)), ((3, 4), (3, 5)), ((3, 4), (2, 8)),
                                    ((0, 4), (0, 5)), ((0, 4), (1, 4))])
def test_similarity_mismatch(sa, sb):
    a, b = PhaseHVec.random(*sa, 1), PhaseHVec.random(*sb, 2)
    for x, y in ((a, b), (b, a)):
        with pytest.raises(ValueError) as ei:
            x.similarity(y)
        assert ei.value.args == ("phase vectors differ in dimension or resolution",)
        assert notes_of(ei.value) == []
    assert [a.phases(), b.phases()] == [PhaseHVec.random(*sa, 1).phases(), PhaseHVec.random(*sb, 2).phases()]


@pytest.mark.parametrize("n, items, expected", [
    (4, [(0,), (2,)], [0]), (4, [(1,), (3,)], [0]),  # cancellation: atan2(+0, +0)
    (4, [(0,), (1,)], [1]), (4, [(0,), (3,)], [3]),  # t = +-0.5 goes away from zero
    (4, [(2,), (2,)], [2]), (3, [(1,), (2,)], [2]), (5, [(2,), (3,)], [3]), (8, [(3,), (5,)], [4]),  # +pi
    (8, [(0,), (1,)], [0]),  # 11585 / 27969 < tan(pi/8): the rounded tables land below the halfway line
    (4, [(0, 1, 2), (1, 1, 3), (0, 3, 2)], [0, 1, 2]),
    (7, [(), ()], []), (7, [()], []),
])
def test_bundle_worked_values(n, items, expected):
    vecs = [from_phases(p, n) for p in items]
    for order in (vecs, vecs[::-1]):
        r = PhaseHVec.bundle(order)
        assert (r.dim, r.n, r.phases()) == (len(expected), n, expected)
    assert model_bundle(items, n) == expected


@pytest.mark.parametrize("n", RESOLUTIONS)
def test_matches_reference_model_bit_for_bit(n):
    rng = random.Random(n)
    for _ in range(8):
        dim = rng.choice([0, 1, 2, 3, 17, 64, 255, 300])
        a, b = (PhaseHVec.random(dim, n, rng.getrandbits(64)) for _ in range(2))
        assert a.similarity(b).hex() == model_similarity(a.phases(), b.phases(), n).hex()
        pool = [PhaseHVec.random(dim, n, rng.getrandbits(64)) for _ in range(rng.choice([2, 3, 7]))]
        items = [rng.choice(pool) for _ in range(rng.randint(1, 7))]  # repeats make ties likelier
        assert PhaseHVec.bundle(items).phases() == model_bundle([v.phases() for v in items], n)


def test_bundle_of_copies_returns_the_vector():
    for n in list(range(2, 301)) + [301, 359, 1023, 4097, 12345, 32768, 65521, 65535, 65536]:
        v = PhaseHVec.random(48, n, n)
        for k in (1, 2, 5):
            r = PhaseHVec.bundle([v] * k)
            assert r is not v and (r.dim, r.n, r.phases()) == (48, n, v.phases())


@pytest.mark.parametrize("n", [2, 3, 4, 8, 360, 65536])
def test_bundle_ignores_item_order_and_sequence_kind(n):
    rng = random.Random(n)
    pool = [PhaseHVec.random(100, n, s) for s in range(4)]
    assert PhaseHVec.bundle(pool[:2]).phases() == PhaseHVec.bundle((pool[1], pool[0])).phases()
    items = [rng.choice(pool) for _ in range(7)]
    want = PhaseHVec.bundle(items).phases()
    for kind in (list, tuple, Seq, type("L", (list,), {})):
        rng.shuffle(items)
        assert PhaseHVec.bundle(items=kind(items)).phases() == want


@pytest.mark.parametrize("shapes, kind, left, right", [
    ([(3, 4), (4, 4)], "dimension", 4, 3),
    ([(3, 4), (3, 8)], "resolution", 8, 4),
    ([(3, 4), (5, 8)], "dimension", 5, 3),  # dimension is tested before resolution
    ([(3, 4), (3, 4), (3, 8), (2, 4)], "resolution", 8, 4),  # the earliest offending item decides
    ([(3, 4), (2, 4), (3, 8)], "dimension", 2, 3),
    ([(0, 4), (0, 5)], "resolution", 5, 4),
    ([(0, 4), (1, 4)], "dimension", 1, 0),
    ([(2, 65536), (2, 65536), (2, 65535)], "resolution", 65535, 65536),
])
def test_bundle_mismatch_panics(shapes, kind, left, right):
    items = [PhaseHVec.random(d, n, i) for i, (d, n) in enumerate(shapes)]
    before = [v.phases() for v in items]
    with pytest.raises(BaseException) as ei:
        PhaseHVec.bundle(items)
    cls = type(ei.value)
    assert (cls.__module__, cls.__qualname__, issubclass(cls, Exception)) == \
        ("pyo3_runtime", "PanicException", False)
    assert ei.value.args == (f"assertion `left == right` failed: phase-vector {kind} mismatch in bundle\n"
                             f"  left: {left}\n right: {right}",)
    assert [v.phases() for v in items] == before and PhaseHVec.bundle(items[:1]).phases() == before[0]


@pytest.mark.parametrize("make, exc_type, msg", [
    (lambda v, w: [], ValueError, "cannot bundle an empty list"),
    (lambda v, w: (), ValueError, "cannot bundle an empty list"),
    (lambda v, w: b"", ValueError, "cannot bundle an empty list"),
    (lambda v, w: "", TypeError, "Can't extract `str` to `Vec`"),
    (lambda v, w: "ab", TypeError, "Can't extract `str` to `Vec`"),
    (lambda v, w: type("Str", (str,), {})("v"), TypeError, "Can't extract `str` to `Vec`"),
    (lambda v, w: {v}, TypeError, "'set' object is not an instance of 'Sequence'"),
    (lambda v, w: (x for x in [v]), TypeError, "'generator' object is not an instance of 'Sequence'"),
    (lambda v, w: v, TypeError, "'PhaseHVec' object is not an instance of 'Sequence'"),
    (lambda v, w: None, TypeError, "'None' is not an instance of 'Sequence'"),
    (lambda v, w: [v, 1], TypeError, "'int' object is not an instance of 'PhaseHVec'"),
    (lambda v, w: [None, v], TypeError, "'None' is not an instance of 'PhaseHVec'"),
    (lambda v, w: [v, w, 1.5], TypeError, "'float' object is not an instance of 'PhaseHVec'"),  # not a panic
    (lambda v, w: b"a", TypeError, "'int' object is not an instance of 'PhaseHVec'"),
    (lambda v, w: Seq([v, w], RuntimeError("boom")), RuntimeError, "boom"),
    (lambda v, w: NoIter([v]), ZeroDivisionError, "no iterator"),
])
def test_bundle_bad_items(make, exc_type, msg):
    def fresh():
        return PhaseHVec.random(3, 4, 1), PhaseHVec.random(4, 4, 2)
    v, w = fresh()
    items = make(v, w)
    snapshot = list(items) if isinstance(items, list) else items
    with pytest.raises(exc_type) as ei:
        PhaseHVec.bundle(items)
    assert type(ei.value) is exc_type and ei.value.args == (msg,)
    assert notes_of(ei.value) == ([] if exc_type is ValueError else expected_notes("items"))  # core: no note
    assert items == snapshot and [x.phases() for x in (v, w)] == [x.phases() for x in fresh()]
