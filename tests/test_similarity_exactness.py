"""Similarity against a model with one math.cos per position, bit for bit.

similarity may compute each distinct cosine once (a call's angles depend only
on the phase difference) and keep those tables across calls; whichever way a
call goes, its result must be the model's: the same x = (d * 2pi) / n, libm's
cos, and the additions one at a time in index order.
"""
import functools
import math
import operator

import pytest

from conftest import TWO_PI
from tesmerine import PhaseHVec

RESOLUTIONS = [2, 3, 4, 5, 7, 16, 255, 256, 257, 1024, 4096, 65535, 65536]
OTHER_RESOLUTIONS = [11, 13, 17, 19]  # as many as the tables kept across calls


def model(a, b, n):
    xs = [((p - q) * TWO_PI) / n for p, q in zip(a.phases(), b.phases())]
    return functools.reduce(operator.add, map(math.cos, xs), 0.0) / len(xs)


def covering(n):  # a seed and length whose vector holds every phase of [0, n)
    length = int(n * (math.log(n) + 4)) + 8
    for seed in range(20):
        if len(set(PhaseHVec.random(length, n, seed).phases())) == n:
            return seed, length
    raise AssertionError(f"no seed covers n = {n}")


def check(a, b, n):
    assert a.similarity(b).hex() == model(a, b, n).hex()


@pytest.mark.parametrize("n", RESOLUTIONS)
def test_every_difference_on_both_sides_of_the_table(n):
    seed, length = covering(n)
    full = PhaseHVec.random(length, n, seed)
    zero = full.unbind(full)
    assert zero.phases() == [0] * full.dim
    # A short prefix first, after other resolutions have taken every kept
    # table: one cos per position. Then full against zero and zero against
    # full: every difference in [0, n), then in (-n, 0], long enough for a
    # table (kept for n <= 4096, for this call only above). Then the prefix
    # again, from the kept table where there is one.
    for other in OTHER_RESOLUTIONS:
        PhaseHVec.random(1, other, 0).similarity(PhaseHVec.random(1, other, 1))
    short = PhaseHVec.random(max(1, n // 2), n, seed)  # the first phases of full
    short_zero = short.unbind(short)
    for a, b in [(short, short_zero), (full, zero), (zero, full), (short_zero, short), (short, short_zero)]:
        check(a, b, n)


@pytest.mark.parametrize("n", [2, 3, 256, 4096])
def test_unrelated_vectors_at_many_lengths(n):
    # Lengths around each switch: 2n - 1 (a kept table is built once that
    # many positions were computed one cos each) and 4/3 (2n - 1) (a table
    # for one call), each call in turn with fresh pairs.
    size = 2 * n - 1
    for dim in sorted({1, 2, 7, size - 1, size, size + 1, (4 * size) // 3, (4 * size) // 3 + 1, 3 * size}):
        for seed in (1, 2):
            a, b = PhaseHVec.random(dim, n, seed), PhaseHVec.random(dim, n, seed + 100)
            check(a, b, n)
            check(b, a, n)
