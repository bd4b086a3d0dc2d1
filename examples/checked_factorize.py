"""Factoring with a check: every answer verified by rebuilding the composite, a wrong one repaired.

resonator_factorize returns, per codebook, an index and the similarity of that
entry to the factor's final estimate: not a confidence. The check that settles
it is to bind the returned entries and compare with the composite: a right
answer rebuilds it exactly, a wrong one gives a similarity near 0.

factor_checked, from the tesmerine_checked package installed with tesmerine,
does that check and repairs a wrong answer on the caller's side: it peels off
the factors that came back with a similarity near 1 and factors the rest,
searches two remaining factors exactly, and then either searches every
combination exactly (when that is cheap enough) or runs the network again
with the codebooks in other orders. It returns verified indices or None.

This example makes seeded problems (fresh codebooks per problem, one entry
picked from each, the composite bound from them) and counts how many each
call factors exactly.

    python examples/checked_factorize.py                  # 100 problems at D = 1500, n = 2, 3 factors of 79 entries
    python examples/checked_factorize.py --factors 4 --size 30 --trials 20
"""

from __future__ import annotations

import argparse
import sys
import time

from tesmerine import PhaseHVec, resonator_factorize
from tesmerine_checked import factor_checked, rebuild


def parse(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Plain resonator calls against factor_checked on seeded problems.")
    parser.add_argument("--dim", type=int, default=1500, help="vector dimension D (default 1500)")
    parser.add_argument("--n", type=int, default=2, help="phase resolution (default 2)")
    parser.add_argument("--factors", type=int, default=3, help="number of codebooks F (default 3)")
    parser.add_argument("--size", type=int, default=79, help="entries per codebook M (default 79)")
    parser.add_argument("--trials", type=int, default=100, help="problems (default 100)")
    args = parser.parse_args(argv)
    if args.factors < 1 or args.size < 1 or args.trials < 1:
        parser.error("factors, size and trials must be at least 1")
    return args


def main(argv: list[str]) -> int:
    args = parse(argv)
    dim, n, m, factors = args.dim, args.n, args.size, args.factors
    plain = checked = 0
    t_plain = t_checked = 0.0
    for p in range(args.trials):
        first = p * factors * m  # the seeds of examples/capacity_sweep.py
        books = [[PhaseHVec.random(dim, n, first + f * m + j) for j in range(m)] for f in range(factors)]
        picked = PhaseHVec.random(factors, m, 2**63 + p).phases()
        composite = rebuild(books, picked)
        started = time.perf_counter()
        plain += [j for j, _ in resonator_factorize(composite, books)] == picked
        t_plain += time.perf_counter() - started
        started = time.perf_counter()
        checked += factor_checked(composite, books) == picked
        t_checked += time.perf_counter() - started
    print(f"D={dim} n={n} F={factors} M={m}: resonator_factorize alone {plain}/{args.trials}, "
          f"factor_checked {checked}/{args.trials}")
    print(f"time per problem: resonator_factorize {1e3 * t_plain / args.trials:.1f} ms, "
          f"factor_checked {1e3 * t_checked / args.trials:.1f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
