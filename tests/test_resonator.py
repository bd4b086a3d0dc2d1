import math
import random

import pytest
from conftest import TWO_PI, Index, Seq, from_phases, ordered_sum, round_half_away

from tesmerine import PhaseHVec, resonator_factorize

RES = (2, 3, 4, 5, 7, 12, 16, 100, 256, 1000, 65535, 65536)
random_vec = PhaseHVec.random


# Reference resonator: the same steps in the same order, on Python floats (IEEE doubles, the same libm).
def unit(phases, n):
    return [math.cos((p * TWO_PI) / n) for p in phases], [math.sin((p * TWO_PI) / n) for p in phases]


def snap(re, im, n):
    return unit([round_half_away(math.atan2(y, x) / TWO_PI * n) % n for x, y in zip(re, im)], n)


def dot(a, b):
    return ordered_sum(ar * br + ai * bi for ar, ai, br, bi in zip(*a, *b))


def best_match(book, est):  # the highest similarity; a tie goes to the highest index
    sims = [dot(e, est) / (len(est[0]) or 1) for e in book]
    return max(enumerate(sims), key=lambda js: (js[1], js[0]), default=(0, 0.0))


def superpose(book, weights, dim, n):
    re, im = [0.0] * dim, [0.0] * dim
    for (er, ei), s in zip(book, weights):
        re, im = [r + s * x for r, x in zip(re, er)], [m + s * y for m, y in zip(im, ei)]
    return snap(re, im, n)


def reference(composite, codebooks, max_iter):
    books = [[unit(e.phases(), e.n) for e in book] for book in codebooks]
    comp, dim, n = unit(composite.phases(), composite.n), composite.dim, composite.n
    est = [superpose(book, [1.0] * len(book), dim, n) for book in books]  # 1.0 * x is exactly x
    prev, stable = None, 0
    for _ in range(max_iter):
        for f, book in enumerate(books):
            wr, wi = comp
            for er, ei in est[:f] + est[f + 1:]:  # times the conjugate of every other current estimate, ascending
                wr, wi = ([r * x + m * y for r, m, x, y in zip(wr, wi, er, ei)],
                          [m * x - r * y for r, m, x, y in zip(wr, wi, er, ei)])
            est[f] = superpose(book, [dot(e, (wr, wi)) for e in book], dim, n)
        cur = [best_match(b, e)[0] for b, e in zip(books, est)]
        if cur == prev and stable > 1:
            break
        stable, prev = (stable + 1 if cur == prev else 0), cur
    return [best_match(b, e) for b, e in zip(books, est)]


def problem(seed, dim, n, sizes, mixed=False, bound=True):
    # Seeded codebooks (entries at random resolutions if mixed); the composite binds one entry of each, or is random.
    rng = random.Random(seed)
    books = [[random_vec(dim, rng.choice(RES) if mixed else n, rng.getrandbits(64)) for _ in range(m)] for m in sizes]
    composite = random_vec(dim, n, rng.getrandbits(64))
    if bound:
        composite = composite.unbind(composite)  # phase 0 everywhere
        for picks in ([e for e in book if e.n == n] for book in books):
            composite = composite.bind(rng.choice(picks)) if picks else composite
    return composite, books


_rng = random.Random(7)
SMALL = [  # (seed, dim, n, codebook sizes, max_iter, mixed, bound): each (F, max_iter) pair once
    (k, _rng.choice((0, 1, 2, 3, 5, 8, 16, 32)), _rng.choice(RES), tuple(_rng.randint(0, 12) for _ in range(k % 5)),
     (0, 1, 2, 3, 5, 50)[k % 6], k % 3 == 0, k % 4 != 3) for k in range(30)]


@pytest.mark.parametrize("seed, dim, n, sizes, max_iter, mixed, bound", [
    *SMALL, (100, 256, 16, (12, 12, 12, 12), 50, False, True), (101, 256, 65536, (8, 8), 5, True, True),
    (102, 256, 3, (5, 6, 7), 50, False, False), (103, 48, 1000, (30, 30, 30), 3, True, True)])  # > 8 resolutions a book
def test_matches_reference(seed, dim, n, sizes, max_iter, mixed, bound):
    composite, books = problem(seed, dim, n, sizes, mixed, bound)
    expected = [(i, s.hex()) for i, s in reference(composite, books, max_iter)]
    for _ in range(2):  # and again: repeated calls are bit-identical
        assert [(i, s.hex()) for i, s in resonator_factorize(composite, books, max_iter)] == expected


BOOK = [random_vec(64, 4, s) for s in (2, 3, 4)]
ZERO, ODD = from_phases((0, 0), 4), from_phases((2, 1), 4)
EMPTY = [[random_vec(0, 4, s) for s in range(3)], [], [random_vec(0, 7, 0)]]  # dimension 0


@pytest.mark.parametrize("composite, books, max_iter, expected", [
    (BOOK[1], [BOOK], 50, [(1, 1.0)]),  # n = 4 phasors square to exactly 1: an entry matches its snapped copy with 1.0
    (BOOK[1], [[], BOOK, []], 2**64 - 1, [(0, 0.0), (1, 1.0), (0, 0.0)]),  # an empty codebook's estimate: identity
    *[(c, no_books, 0, []) for c in (random_vec(64, 4, 0), random_vec(0, 3, 0), random_vec(5, 65536, 0))
      for no_books in ([], ())],
    # No sweeps: the snapped sum of [0, 0], [0, 0], [2, 1] is [0, 0] (the tie goes to entry 1) and a lone entry
    # matches itself, whatever the composite.
    *[(random_vec(2, 4, seed), [[ZERO, ZERO, ODD], [ODD]], 0, [(1, 1.0), (0, 1.0)]) for seed in (5, 6)],
    *[(random_vec(0, 8, 0), EMPTY, max_iter, [(2, 0.0), (0, 0.0), (0, 0.0)]) for max_iter in (0, 1, 50)]])
def test_edge_cases(composite, books, max_iter, expected):
    result = resonator_factorize(composite, books, max_iter)
    assert (result, [tuple(map(type, pair)) for pair in result]) == (expected, [(int, float)] * len(expected))


def test_max_iter_and_accepted_forms():
    equal_entries = [[random_vec(16, 8, 1)] * 4, [random_vec(16, 3, 2)] * 3]  # a tie goes to the highest index
    assert [i for i, _ in resonator_factorize(random_vec(16, 8, 9), equal_entries)] == [3, 2]
    composite, books = problem(1, 256, 16, (8, 8, 8))
    converged = resonator_factorize(composite, books, 50)
    assert reference(composite, books, 2**64 - 1) == converged == resonator_factorize(composite, books, 2**64 - 1)
    other_forms = Seq([tuple(b) for b in books])
    assert resonator_factorize(max_iter=Index(50), codebooks=other_forms, composite=composite) == converged
    composite, books = problem(25, 6, 8, (4, 5, 3), bound=False)  # indices still moving at 49, 50 and 51 sweeps
    by_sweeps = [reference(composite, books, k) for k in (49, 50, 51)]
    assert by_sweeps[0] != by_sweeps[1] != by_sweeps[2]
    assert resonator_factorize(composite, books) == by_sweeps[1]  # 50 sweeps when max_iter is absent
