"""Side-by-side timings of tesmerine, NumPy and torchhd (pytest-benchmark).

Run through bench/run.sh, which installs the dependencies and prints the
table; the group of each benchmark is its workload, the test name its
implementation. extra_info carries the bytes per vector component and, for
the resonator, the number of sweeps the timed call makes.
"""
import ctypes
import os

import numpy as np
import pytest
import torch

import peers
import tesmerine
from tesmerine import PhaseHVec, resonator_factorize

torch.set_num_threads(1)  # one core for everyone: tesmerine never creates threads
# (bench/run.sh also sets OPENBLAS_NUM_THREADS=1 and OMP_NUM_THREADS=1 for NumPy's BLAS)

ELEMENTWISE = [(dim, n) for dim in (256, 10_000) for n in (256, 65_536)]
BUNDLE_DIM, BUNDLE_N = 10_000, 256
CLEANUP_ITEMS, CLEANUP_DIM, CLEANUP_N = 10_000, 1024, 256
RESONATOR = [(1024, 256, 3, 16), (10_000, 256, 3, 100), (1500, 2, 3, 64)]
SWEEPS = 4  # the earliest sweep at which the stopping rule can end a run
SEED_A, SEED_B = 11, 22


def run(benchmark, group, impl, func, *args, bytes_per_component=None, **extra):
    benchmark.group = group
    benchmark.name = impl
    benchmark.extra_info.update(extra, impl=impl, bytes_per_component=bytes_per_component)
    return benchmark(func, *args)


def pair_tesmerine(dim, n):
    return PhaseHVec.random(dim, n, SEED_A), PhaseHVec.random(dim, n, SEED_B)


def pair_numpy(dim, n):
    return peers.np_random(dim, n, SEED_A), peers.np_random(dim, n, SEED_B)


def pair_torchhd(vsa, dim, n):
    return peers.th_random(vsa, dim, n, SEED_A), peers.th_random(vsa, dim, n, SEED_B)


IMPLS = ["tesmerine", "numpy", "torchhd-FHRR", "torchhd-MCR"]


def bytes_of(impl, sample):
    if impl == "tesmerine":
        return 2
    return sample.element_size() if isinstance(sample, torch.Tensor) else sample.itemsize


# ------------------------------------------------------------------ elementwise
@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize("dim,n", ELEMENTWISE)
def test_random(benchmark, impl, dim, n):
    group = f"random D={dim} n={n}"
    if impl == "tesmerine":
        run(benchmark, group, impl, PhaseHVec.random, dim, n, SEED_A, bytes_per_component=2)
    elif impl == "numpy":
        out = run(benchmark, group, impl, peers.np_random, dim, n, SEED_A)
        benchmark.extra_info["bytes_per_component"] = out.itemsize
    else:
        out = run(benchmark, group, impl, peers.th_random, impl.split("-")[1], dim, n, SEED_A)
        benchmark.extra_info["bytes_per_component"] = out.element_size()


@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize("op", ["bind", "unbind", "similarity"])
@pytest.mark.parametrize("dim,n", ELEMENTWISE)
def test_pairwise(benchmark, impl, op, dim, n):
    group = f"{op} D={dim} n={n}"
    if impl == "tesmerine":
        a, b = pair_tesmerine(dim, n)
        run(benchmark, group, impl, getattr(PhaseHVec, op), a, b, bytes_per_component=2)
    elif impl == "numpy":
        a, b = pair_numpy(dim, n)
        run(benchmark, group, impl, getattr(peers, f"np_{op}"), a, b, n, bytes_per_component=a.itemsize)
    else:
        a, b = pair_torchhd(impl.split("-")[1], dim, n)
        run(benchmark, group, impl, getattr(peers, f"th_{op}"), a, b, bytes_per_component=a.element_size())


def cos_floor_library():
    path = os.environ.get("TESMERINE_BENCH_COS_FLOOR")
    if not path:
        pytest.skip("TESMERINE_BENCH_COS_FLOOR is not set (bench/run.sh builds it)")
    lib = ctypes.CDLL(path)
    lib.cos_each.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t]
    return lib


@pytest.mark.parametrize("dim,n", ELEMENTWISE)
def test_similarity_cos_floor(benchmark, dim, n):
    """dim calls of libm cos on the very angles similarity forms: its floor."""
    lib = cos_floor_library()
    a, b = (np.array(v.phases(), dtype=np.float64) for v in pair_tesmerine(dim, n))
    reps = 20
    angles = ((a - b) * peers.TWO_PI) / float(n)  # the same product, then quotient
    out = np.empty_like(angles)
    run(benchmark, f"similarity D={dim} n={n}", "libm-cos-floor", lib.cos_each,
        angles.ctypes.data, out.ctypes.data, angles.size, reps, per_call_divisor=reps)


# ------------------------------------------------------------------ cleanup memory
@pytest.mark.parametrize("impl", ["tesmerine", "numpy", "torchhd-FHRR"])
def test_cleanup(benchmark, impl):
    """One query against every stored vector; the index of the most similar."""
    group = f"cleanup query, {CLEANUP_ITEMS} stored, D={CLEANUP_DIM} n={CLEANUP_N}"
    seeds = range(1, CLEANUP_ITEMS + 1)
    if impl == "tesmerine":
        memory = [PhaseHVec.random(CLEANUP_DIM, CLEANUP_N, s) for s in seeds]
        query = memory[1234]
        found = run(benchmark, group, impl, peers.cleanup_loop, query, memory, bytes_per_component=2)
    elif impl == "numpy":
        unit = peers.np_unit_phasors(np.stack([peers.np_random(CLEANUP_DIM, CLEANUP_N, s) for s in seeds]), CLEANUP_N)
        found = run(benchmark, group, impl, peers.np_cleanup, unit[1234], unit, bytes_per_component=unit.itemsize)
    else:
        memory = torch.stack([peers.th_random("FHRR", CLEANUP_DIM, CLEANUP_N, s) for s in seeds])
        found = run(benchmark, group, impl, peers.th_cleanup, memory[1234], memory,
                    bytes_per_component=memory.element_size())
    assert found == 1234


# ------------------------------------------------------------------ bundle
@pytest.mark.parametrize("impl", IMPLS)
@pytest.mark.parametrize("items", [10, 100])
def test_bundle(benchmark, impl, items):
    group = f"bundle {items} items D={BUNDLE_DIM} n={BUNDLE_N}"
    seeds = range(100, 100 + items)
    if impl == "tesmerine":
        vecs = [PhaseHVec.random(BUNDLE_DIM, BUNDLE_N, s) for s in seeds]
        run(benchmark, group, impl, PhaseHVec.bundle, vecs, bytes_per_component=2)
    elif impl == "numpy":
        stacked = np.stack([peers.np_random(BUNDLE_DIM, BUNDLE_N, s) for s in seeds])
        run(benchmark, group, impl, peers.np_bundle, stacked, BUNDLE_N, bytes_per_component=stacked.itemsize)
    else:
        stacked = torch.stack([peers.th_random(impl.split("-")[1], BUNDLE_DIM, BUNDLE_N, s) for s in seeds])
        run(benchmark, group, impl, peers.th_bundle, stacked, bytes_per_component=stacked.element_size())


# ------------------------------------------------------------------ resonator
def resonator_inputs(dim, n, factors, entries):
    books = [[PhaseHVec.random(dim, n, 1000 * f + j) for j in range(entries)] for f in range(factors)]
    chosen = [(5 * f + 3) % entries for f in range(factors)]
    composite = books[0][chosen[0]]
    for f in range(1, factors):
        composite = composite.bind(books[f][chosen[f]])
    return books, composite, chosen


@pytest.mark.parametrize("sweeps", [0, SWEEPS])
@pytest.mark.parametrize("impl", ["tesmerine", "numpy", "torchhd-MAP"])
@pytest.mark.parametrize("dim,n,factors,entries", RESONATOR)
def test_resonator(benchmark, impl, dim, n, factors, entries, sweeps):
    group = f"resonator D={dim} n={n} F={factors} M={entries}"
    books, composite, chosen = resonator_inputs(dim, n, factors, entries)
    extra = dict(sweeps=sweeps)
    if impl == "tesmerine":
        name = f"{impl} max_iter={sweeps}"
        out = run(benchmark, group, name, resonator_factorize, composite, books, sweeps, bytes_per_component=2, **extra)
        found = [j for j, _ in out]
    elif impl == "numpy":
        def phasors(v):
            return np.exp(1j * (np.array(v.phases(), dtype=np.float64) * peers.TWO_PI / n))

        dense = [np.stack([phasors(v) for v in book]) for book in books]
        name = f"{impl} max_iter={sweeps}"
        out = run(benchmark, group, name, peers.np_resonator, phasors(composite), dense, n, sweeps,
                  bytes_per_component=dense[0].itemsize, **extra)
        found = [j for j, _ in out]
    else:
        if n != 2:
            pytest.skip("torchhd's resonator works on MAP (bipolar) vectors only: compared at n = 2")
        import torchhd

        generator = torch.Generator().manual_seed(7)
        domains = torch.stack([torchhd.random(entries, dim, "MAP", generator=generator) for _ in range(factors)])
        composite_map = domains[0][chosen[0]]
        for f in range(1, factors):
            composite_map = torchhd.bind(composite_map, domains[f][chosen[f]])
        name = f"{impl} steps={sweeps}"
        found = run(benchmark, group, name, peers.th_map_resonator, composite_map, domains, sweeps,
                    bytes_per_component=domains.element_size(), **extra)
    if sweeps:
        benchmark.extra_info["recovered"] = found == chosen  # after only SWEEPS sweeps
