# Similarity and bundling: worked values, tie-breaks, and a model taking the same double-precision steps one at a
# time in Python, matched bit for bit. similarity may take its cosines from a table, kept across calls (for n up to
# 4096, in four slots) or made for one long call: whichever way a call goes, its result must be the model's.
import functools
import math
import random

import pytest
from conftest import TWO_PI, from_phases, ordered_sum, round_half_away

from tesmerine import PhaseHVec


def model_similarity(a, b, n):  # the signed differences, not reduced mod n; the cosines added in index order
    return ordered_sum(math.cos((float(p - q) * TWO_PI) / float(n)) for p, q in zip(a, b)) / float(len(a)) if a else 1.0


@functools.lru_cache(maxsize=None)
def tables(n):
    angles = [(k * TWO_PI) / float(n) for k in range(n)]
    return ([round_half_away(math.cos(a) * 16384.0) for a in angles],
            [round_half_away(math.sin(a) * 16384.0) for a in angles])


def model_bundle(items, n):
    c, s = tables(n)
    sums = [(sum(s[p] for p in col), sum(c[p] for p in col)) for col in zip(*items)]
    return [round_half_away((math.atan2(float(y), float(x)) / TWO_PI) * float(n)) % n for y, x in sums]


@pytest.mark.parametrize("n, a, b, expected", [
    (4, (0, 1, 2), (0, 3, 0), -0.3333333333333333), (5, (), (), 1.0), (3, (0,), (2,), -0.5000000000000004),
    (3, (0,), (1,), -0.4999999999999998), (3, (1,), (0,), -0.4999999999999998),  # differences are not reduced mod n
    (2, (0, 1, 1), (1, 0, 0), -1.0), (6, (0, 1, 5), (3, 4, 2), -1.0), (65536, (1,), (32769,), -1.0)])  # opposite
def test_similarity_worked_values(n, a, b, expected):
    got = from_phases(a, n).similarity(other=from_phases(b, n))
    assert (type(got), got) == (float, expected)


@pytest.mark.parametrize("n, items, expected", [
    (4, [(0,), (2,)], [0]), (4, [(1,), (3,)], [0]),  # cancellation: atan2(+0, +0)
    (4, [(0,), (1,)], [1]), (4, [(0,), (3,)], [3]),  # t = +-0.5 goes away from zero
    (4, [(2,), (2,)], [2]), (3, [(1,), (2,)], [2]), (5, [(2,), (3,)], [3]), (11, [(5,), (6,)], [6]),  # +pi:
    (8, [(3,), (5,)], [4]),  # t = n / 2 exactly, as (theta / 2pi) * n gives it ((theta * n) / 2pi is below at n = 11)
    (8, [(0,), (1,)], [0]),  # 11585 / 27969 < tan(pi/8): the rounded tables land below the halfway line
    (4, [(0, 1, 2), (1, 1, 3), (0, 3, 2)], [0, 1, 2]), (7, [(), ()], [])])
def test_bundle_worked_values(n, items, expected):
    vecs = [from_phases(p, n) for p in items]
    results = [PhaseHVec.bundle(vecs), PhaseHVec.bundle(vecs[::-1])]
    assert [(r.dim, r.n, r.phases()) for r in results] == [(len(expected), n, expected)] * 2


def covering(n):  # a vector holding every phase of [0, n), and a short prefix of it
    length = int(n * (math.log(n) + 4)) + 8
    seed = next(s for s in range(20) if len(set(PhaseHVec.random(length, n, s).phases())) == n)
    return PhaseHVec.random(length, n, seed), PhaseHVec.random(max(1, n // 2), n, seed)


@pytest.mark.parametrize("n", [2, 3, 4, 5, 7, 8, 16, 255, 256, 257, 360, 1000, 1024, 4096, 65535, 65536])
def test_matches_the_model_bit_for_bit(n):
    def check(a, b):
        assert a.similarity(b).hex() == model_similarity(a.phases(), b.phases(), a.n).hex()
    for other in (11, 13, 17, 19):  # tables of as many resolutions as are kept: n's own is gone
        check(PhaseHVec.random(64, other, 0), PhaseHVec.random(64, other, 1))
    # The prefix, one cos each; every difference in (-n, n), long enough for a table: the vector holding every phase
    # against zeros and back; the prefix again, from a kept table where there is one.
    full, short = covering(n)
    for a, b in [(short, short.unbind(short)), (full, full.unbind(full)), (full.unbind(full), full),
                 (short.unbind(short), short), (short, short.unbind(short))]:
        check(a, b)
    assert full.similarity(full) == 1.0
    rng = random.Random(n)
    for k in range(10):  # the last two: long vectors and long lists, which take their own fold
        dim = rng.choice([0, 1, 2, 3, 17, 64, 255, 300]) if k < 8 else 1030
        pool = [PhaseHVec.random(dim, n, rng.getrandbits(64)) for _ in range(rng.choice([2, 3, 7]))]
        items = [rng.choice(pool) for _ in range(rng.randint(1, 7) if k < 8 else (64, 257)[k % 2])]  # ties likelier
        check(pool[0], pool[-1])
        want = model_bundle([v.phases() for v in items], n)  # the integer fold does not depend on the items' order
        assert PhaseHVec.bundle(items).phases() == PhaseHVec.bundle(tuple(items[::-1])).phases() == want


@pytest.mark.parametrize("n", [*range(2, 19), 255, 256, 257, 359, 1023, 4097, 12345, 32768, 65521, 65535, 65536])
def test_bundle_of_copies_returns_the_vector(n):
    v = PhaseHVec.random(48, n, n)
    # 2^17 copies: more than one block of items, and sums past 32 bits where a phase is 0 or n / 4
    assert [PhaseHVec.bundle([v] * k).phases() for k in (1, 2, 5, 2**17)] == [v.phases()] * 4
    assert PhaseHVec.bundle([v]) is not v
