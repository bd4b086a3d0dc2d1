# The generator's reference vectors and properties (tests/core/check_remainders.cpp checks its remainders for every
# n), and binding and unbinding against their formulas.
import pytest
from conftest import REF, Index, from_phases

from tesmerine import PhaseHVec


@pytest.mark.parametrize("args, phases", [
    ((8, 16, 42), REF), ((8, 16, 0), [0, 9, 6, 7, 7, 6, 13, 11]), ((4, 65536, 1), [37175, 41823, 57896, 19038]),
    ((5, 360, 12345), [163, 278, 290, 271, 60]), ((6, 2, 7), [0, 1, 1, 0, 1, 0]),
    ((3, 65536, 2**64 - 1), [61144, 41725, 63407]), ((True, 16, 42), [7]), ((0, 7, 1), [])])
def test_reference_vectors(args, phases):
    v = PhaseHVec.random(*args)
    v.phases().append(99)  # a fresh list on every call
    assert (v.phases(), v.dim, v.n, type(v.dim), type(v.n)) == (phases, *args[:2], int, int)
    assert repr(v) == str(v) == f"PhaseHVec(dim={args[0]:d}, n={args[1]})"


@pytest.mark.parametrize("n, seed", [(2, 0), (3, 2**64 - 1), (360, 2**32 + 7), (65535, 0), (65536, 2**63)])
def test_prefix_range_and_keywords(n, seed):
    phases = PhaseHVec.random(500, n, seed).phases()
    assert PhaseHVec.random(37, n, seed).phases() == phases[:37]
    assert PhaseHVec.random(seed=Index(seed), n=Index(n), dim=Index(500)).phases() == phases  # keywords, __index__
    assert max(phases) < n and (seed or phases[0] == 0)  # seed 0: phase 0 is 0 whatever n is


def test_worked_examples():
    a, b, top = from_phases((3, 15, 0), 16), from_phases((5, 9, 0), 16), from_phases((65535,), 65536)
    assert (a.bind(b).phases(), a.unbind(b).phases(), b.unbind(a).phases()) == ([8, 8, 0], [14, 6, 0], [2, 10, 0])
    assert (top.bind(top).phases(), top.unbind(top).phases()) == ([65534], [0])


@pytest.mark.parametrize("dim, n", [*[(2000, n) for n in (2, 3, 16, 1000, 65535, 65536)], (0, 7)])
def test_bind_and_unbind_formulas(dim, n):
    a, b, c = (PhaseHVec.random(dim, n, seed) for seed in (11, 12, 13))
    pa, pb = a.phases(), b.phases()
    ab, a_b = a.bind(b), a.unbind(other=b)
    assert (ab.dim, ab.n, a_b.dim, a_b.n) == (dim, n, dim, n)
    assert ab.phases() == [(x + y) % n for x, y in zip(pa, pb)] == b.bind(a).phases()
    assert a_b.phases() == [(x - y) % n for x, y in zip(pa, pb)]
    assert (ab.unbind(b).phases(), a.unbind(a).phases()) == (pa, [0] * dim)
    assert a.bind(a).phases() == [2 * x % n for x in pa]
    assert ab.bind(c).phases() == a.bind(b.bind(c)).phases()
    assert (a.phases(), b.phases()) == (pa, pb)  # the operands are unchanged
