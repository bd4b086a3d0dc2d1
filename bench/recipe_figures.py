"""The measurements quoted in docs/recipes.md, in one script (the checked factorization's
table comes from bench/checked_figures.py).

    python bench/recipe_figures.py [resonator|seeds|cleanup|cost ...]

Everything is seeded, so the counts are the same on every run; the timings are
those of the machine it runs on, printed first with the commit. NumPy is needed
for the cleanup-memory export and the cost fit only.
"""

from __future__ import annotations

import math
import statistics
import sys
import time

from pathlib import Path

from tesmerine import PhaseHVec, resonator_factorize
from tesmerine_checked import factor_checked, rebuild

sys.path.insert(0, str(Path(__file__).resolve().parent))
from provenance import machine  # noqa: E402


def problem(dim: int, n: int, m: int, factors: int, p: int) -> tuple[list[list[PhaseHVec]], list[int], PhaseHVec]:
    # The seeds of examples/capacity_sweep.py.
    first = p * factors * m
    books = [[PhaseHVec.random(dim, n, first + f * m + j) for j in range(m)] for f in range(factors)]
    picked = PhaseHVec.random(factors, m, 2**63 + p).phases()
    return books, picked, rebuild(books, picked)


def resonator_study(dim: int = 1500, factors: int = 3, m: int = 79, trials: int = 100) -> None:
    print(f"== resonator at D = {dim}, F = {factors}, M = {m}, {trials} problems")
    for n in (2, 4, 16, 256):
        plain = long = remedy = 0
        right_sims, wrong_sims, rebuild_wrong = [], [], []
        negated = wrong_factors = 0
        by_right = [0] * factors
        t_plain = t_remedy = 0.0
        for p in range(trials):
            books, picked, composite = problem(dim, n, m, factors, p)
            t = time.perf_counter()
            result = resonator_factorize(composite, books)
            t_plain += time.perf_counter() - t
            found = [j for j, _ in result]
            plain += found == picked
            long += [j for j, _ in resonator_factorize(composite, books, 500)] == picked
            one_right = sum(j == picked[f] for f, (j, _) in enumerate(result)) == 1
            for f, (j, s) in enumerate(result):
                (right_sims if j == picked[f] else wrong_sims).append(s)
                if j != picked[f] and one_right:
                    wrong_factors += 1
                    # An estimate that is the true entry negated reads out the
                    # entry most unlike the truth, at exactly minus that similarity.
                    negated += n == 2 and s == -books[f][picked[f]].similarity(books[f][j])
            if found != picked:
                rebuild_wrong.append(abs(rebuild(books, found).similarity(composite)))
                by_right[sum(j == k for j, k in zip(found, picked))] += 1
            t = time.perf_counter()
            answer = factor_checked(composite, books)
            t_remedy += time.perf_counter() - t
            remedy += answer == picked
        print(f"n={n:<4d} plain {plain}/{trials}  max_iter=500 {long}/{trials}  checked+remedy {remedy}/{trials}  "
              f"time per problem plain {1e3 * t_plain / trials:.1f} ms, remedy {1e3 * t_remedy / trials:.1f} ms")
        print(f"       returned similarity: right factors min {min(right_sims, default=math.nan):.3f}, "
              f"wrong factors max {max(wrong_sims, default=math.nan):.3f}; rebuild check of wrong answers: "
              f"max |similarity| {max(rebuild_wrong, default=math.nan):.3f} (right answers: 1.0)")
        print(f"       wrong answers by the number of right factors in them: {by_right}")
        if n == 2:
            print(f"       answers with one right factor: {negated} of their {wrong_factors} wrong factors "
                  "read from a negated estimate")


def seeds_study(dim: int = 1500, count: int = 600) -> None:
    import hashlib

    def worst(vectors: list[PhaseHVec]) -> tuple[float, int]:
        sims = [abs(a.similarity(b)) for i, a in enumerate(vectors) for b in vectors[i + 1:]]
        return max(sims), sum(s >= 0.2 for s in sims)

    def hashed(name: str) -> int:
        return int.from_bytes(hashlib.blake2b(name.encode(), digest_size=8).digest(), "little")

    print(f"== seeds at D = {dim}: largest |similarity| among {count} vectors, pairs at 0.2 or more")
    for n in (2, 4, 16, 256):
        plain = worst([PhaseHVec.random(dim, n, s) for s in range(count)])
        hashed_seeds = worst([PhaseHVec.random(dim, n, hashed(f"symbol-{s}")) for s in range(count)])
        bound = worst([PhaseHVec.random(dim, n, hashed(f"symbol-{s}/a")).bind(
            PhaseHVec.random(dim, n, hashed(f"symbol-{s}/b"))) for s in range(count)])
        top_bit = PhaseHVec.random(dim, n, 7).similarity(PhaseHVec.random(dim, n, 7 + 2**63))
        print(f"n={n:<4d} consecutive {plain[0]:.3f} ({plain[1]} pairs)  hashed {hashed_seeds[0]:.3f} "
              f"({hashed_seeds[1]})  two hashed seeds bound {bound[0]:.3f} ({bound[1]});"
              f" seeds 7 and 7 + 2**63: {top_bit:.3f}")
    print(f"   chance: 1/sqrt(D) = {1 / math.sqrt(dim):.4f}")


def cleanup_memory(dim: int, n: int, m: int, queries: int) -> tuple[list[PhaseHVec], list[PhaseHVec], list[int]]:
    """The memory, the queries and their right answers: query q is entry 37*q bundled with one distractor."""
    memory = [PhaseHVec.random(dim, n, s) for s in range(m)]
    probes = [PhaseHVec.bundle([memory[q * 37], PhaseHVec.random(dim, n, 10**6 + q)]) for q in range(queries)]
    return memory, probes, [37 * q for q in range(queries)]


def nearest(query: PhaseHVec, memory: list[PhaseHVec]) -> int:  # the recipe's cleanup
    return max(range(len(memory)), key=lambda j: memory[j].similarity(query))


def cleanup_study(dim: int = 1024, n: int = 256, m: int = 10000, queries: int = 20) -> None:
    import numpy as np

    memory, probes, right = cleanup_memory(dim, n, m, queries)
    t = time.perf_counter()
    found = [nearest(q, memory) for q in probes]
    per_query = (time.perf_counter() - t) / queries

    def phasors(vectors: list[PhaseHVec]) -> np.ndarray:  # the recipe's export, as docs/recipes.md writes it
        n = vectors[0].n
        return np.exp(1j * (2 * np.pi / n) * np.array([v.phases() for v in vectors], dtype=np.float64))

    t = time.perf_counter()
    z = phasors(memory)
    export = time.perf_counter() - t
    t = time.perf_counter()
    scores = (z @ phasors(probes).conj().T).real / dim
    numpy_found = scores.argmax(axis=0).tolist()
    numpy_per_query = (time.perf_counter() - t) / queries
    print(f"== cleanup memory, D = {dim}, n = {n}, M = {m}, {queries} queries (item bundled with one distractor)")
    print(f"   similarity loop: {1e3 * per_query:.1f} ms per query ({1e6 * per_query / m:.2f} us per entry), "
          f"{sum(f == r for f, r in zip(found, right))} of {queries} right")
    print(f"   NumPy: export {export:.2f} s once, {z.nbytes / 2**20:.0f} MiB as {z.dtype}; "
          f"{1e3 * numpy_per_query:.2f} ms per query in a batch of {queries}; same answers: {numpy_found == found}")


def cost_fit() -> None:
    import numpy as np

    def timed(composite: PhaseHVec, books: list[list[PhaseHVec]], sweeps: int) -> float:
        runs = []
        for _ in range(7):
            t = time.perf_counter()
            resonator_factorize(composite, books, sweeps)
            runs.append(time.perf_counter() - t)
        return statistics.median(runs)

    # max_iter=4 runs exactly 4 sweeps (no run stops earlier), max_iter=0 none.
    # time = a*F*M*D + sweeps * (c*F*M*D + d*F*D): the conversion of every
    # codebook entry to phasors (a cosine and a sine per component), then per
    # sweep the weighting and matching (per entry and component) and the
    # unbinding and snapping (per component of each factor).
    # Fitted for the smallest relative error (rows weighted by 1/time).
    rows, times = [], []
    for dim in (500, 1500, 4000):
        for factors in (2, 3, 4):
            for m in (16, 64, 160):
                books, picked, composite = problem(dim, 16, m, factors, 0)
                for sweeps in (0, 4):
                    fmd, fd = factors * m * dim, factors * dim
                    rows.append([fmd, sweeps * fmd, sweeps * fd])
                    times.append(timed(composite, books, sweeps))
    x, t = np.array(rows, dtype=float), np.array(times)
    coef = np.linalg.lstsq(x / t[:, None], np.ones_like(t), rcond=None)[0]
    errors = np.abs(x @ coef - t) / t
    a, c, d = (float(v) for v in coef)
    print("== resonator call time, fitted over D in {500, 1500, 4000}, F in {2, 3, 4}, M in {16, 64, 160}, n = 16, "
          "0 and 4 sweeps")
    print(f"   time = {a * 1e9:.2f} ns x F*M*D"
          f" + sweeps x ({c * 1e9:.2f} ns x F*M*D + {d * 1e9:.1f} ns x F*D)")
    print(f"   relative error: median {100 * float(np.median(errors)):.0f} %, worst {100 * float(errors.max()):.0f} %")
    for dim, factors, m in ((10000, 3, 100), (1500, 3, 79)):
        setup = a * factors * m * dim
        sweep = c * factors * m * dim + d * factors * dim
        print(f"   D={dim} F={factors} M={m}: {1e3 * setup:.2f} ms + {1e3 * sweep:.3f} ms per sweep")


STUDIES = {"resonator": resonator_study, "seeds": seeds_study, "cleanup": cleanup_study, "cost": cost_fit}

if __name__ == "__main__":
    print(f"measured on: {machine()}", flush=True)
    for name in sys.argv[1:] or list(STUDIES):
        STUDIES[name]()
