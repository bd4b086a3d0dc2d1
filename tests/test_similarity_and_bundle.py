# Similarity and bundling: worked values, tie-breaks and a bit-exact reference model.
import functools
import math
import random

import pytest
from conftest import TWO_PI, from_phases, ordered_sum, round_half_away

from tesmerine import PhaseHVec


# Reference model: the same double-precision steps, one at a time, in Python.
@functools.lru_cache(maxsize=None)
def tables(n):
    angles = [(k * TWO_PI) / float(n) for k in range(n)]
    return ([round_half_away(math.cos(a) * 16384.0) for a in angles],
            [round_half_away(math.sin(a) * 16384.0) for a in angles])


def model_similarity(a, b, n):  # ascending index
    return ordered_sum(math.cos((float(p - q) * TWO_PI) / float(n)) for p, q in zip(a, b)) / float(len(a)) if a else 1.0


def model_bundle(items, n):
    c, s = tables(n)
    sums = [(sum(s[p] for p in col), sum(c[p] for p in col)) for col in zip(*items)]
    return [round_half_away((math.atan2(float(y), float(x)) / TWO_PI) * float(n)) % n for y, x in sums]


def test_reference_model_tables():
    assert tables(3) == ([16384, -8192, -8192], [0, 14189, -14189])
    assert tables(4) == ([16384, 0, -16384, 0], [0, 16384, 0, -16384])
    assert tables(8) == ([16384, 11585, 0, -11585, -16384, -11585, 0, 11585],
                         [0, 11585, 16384, 11585, 0, -11585, -16384, -11585])


@pytest.mark.parametrize("n, a, b, expected", [
    (4, (0, 1, 2), (0, 3, 0), -0.3333333333333333), (5, (), (), 1.0), (3, (0,), (2,), -0.5000000000000004),
    (3, (0,), (1,), -0.4999999999999998), (3, (1,), (0,), -0.4999999999999998),  # differences are not reduced mod n
    (2, (0, 1, 1), (1, 0, 0), -1.0), (6, (0, 1, 5), (3, 4, 2), -1.0), (65536, (1,), (32769,), -1.0)])  # opposite
def test_similarity_worked_values(n, a, b, expected):
    got = from_phases(a, n).similarity(other=from_phases(b, n))
    assert type(got) is float
    assert got == expected == model_similarity(a, b, n)


@pytest.mark.parametrize("n, items, expected", [
    (4, [(0,), (2,)], [0]), (4, [(1,), (3,)], [0]),  # cancellation: atan2(+0, +0)
    (4, [(0,), (1,)], [1]), (4, [(0,), (3,)], [3]),  # t = +-0.5 goes away from zero
    (4, [(2,), (2,)], [2]), (3, [(1,), (2,)], [2]), (5, [(2,), (3,)], [3]), (8, [(3,), (5,)], [4]),  # +pi
    (8, [(0,), (1,)], [0]),  # 11585 / 27969 < tan(pi/8): the rounded tables land below the halfway line
    (4, [(0, 1, 2), (1, 1, 3), (0, 3, 2)], [0, 1, 2]), (7, [(), ()], [])])
def test_bundle_worked_values(n, items, expected):
    vecs = [from_phases(p, n) for p in items]
    for order in (vecs, vecs[::-1]):
        r = PhaseHVec.bundle(order)
        assert (r.dim, r.n, r.phases()) == (len(expected), n, expected)
    assert model_bundle(items, n) == expected


@pytest.mark.parametrize("n", [2, 3, 4, 5, 7, 8, 16, 255, 256, 360, 1000, 4096, 65535, 65536])
def test_matches_reference_model_bit_for_bit(n):
    rng = random.Random(n)
    for k in range(10):  # the last two: long vectors and long lists, which take their own fold
        dim = rng.choice([0, 1, 2, 3, 17, 64, 255, 300]) if k < 8 else 1030
        a, b = (PhaseHVec.random(dim, n, rng.getrandbits(64)) for _ in range(2))
        assert a.similarity(b).hex() == model_similarity(a.phases(), b.phases(), n).hex()
        assert a.similarity(a) == 1.0
        pool = [PhaseHVec.random(dim, n, rng.getrandbits(64)) for _ in range(rng.choice([2, 3, 7]))]
        items = [rng.choice(pool) for _ in range(rng.randint(1, 7) if k < 8 else (64, 257)[k % 2])]  # ties likelier
        want = model_bundle([v.phases() for v in items], n)
        assert PhaseHVec.bundle(items).phases() == want
        rng.shuffle(items)  # the integer fold does not depend on the order of the items
        assert PhaseHVec.bundle(tuple(items)).phases() == want


def test_bundle_of_copies_returns_the_vector():
    for n in list(range(2, 301)) + [301, 359, 1023, 4097, 12345, 32768, 65521, 65535, 65536]:
        v = PhaseHVec.random(48, n, n)
        assert PhaseHVec.bundle([v]) is not v
        assert all(PhaseHVec.bundle([v] * k).phases() == v.phases() for k in (1, 2, 5))
