"""Capacity sweep: how large may the codebooks be before the resonator fails?

For a fixed dimension D and F factors, and for every codebook size M and phase
resolution n asked for, make `trials` seeded problems: F fresh codebooks of M
random vectors, one entry picked from each, the composite bound from them. A
problem counts as solved when resonator_factorize returns exactly the picked
indices. Everything is seeded, so a run gives the same table every time.

Prints one line per point; with --csv it writes the table as CSV and, with
--png and when matplotlib is installed (the only extra dependency, and of this
example only), a PNG plot of the fraction solved against M, one line per
resolution. Without them nothing is written.

    python examples/capacity_sweep.py --csv docs/capacity.csv --png docs/capacity.png
    python examples/capacity_sweep.py --dim 256 --sizes 4 8 --resolutions 4 16 --trials 5
"""

from __future__ import annotations

import argparse
import csv
import dataclasses
import sys
import time

from tesmerine import PhaseHVec, resonator_factorize

DESCRIPTION = "Fraction of seeded composites the resonator factors correctly, per codebook size and resolution."


@dataclasses.dataclass(frozen=True)
class Row:
    """One point of the sweep; its fields are the CSV columns, in order."""

    dim: int
    factors: int
    n: int
    codebook_size: int
    trials: int
    solved: int
    fraction: float


def solve_one(dim: int, n: int, m: int, factors: int, max_iter: int, problem: int) -> bool:
    # Problem p uses seeds from p*factors*m on for its codebooks, so no two
    # codebooks of one (n, M) cell share a vector.
    first = problem * factors * m
    books = [[PhaseHVec.random(dim, n, first + f * m + j) for j in range(m)] for f in range(factors)]
    # The picked indices come from the library's own seeded generator: phases in [0, m).
    picked = PhaseHVec.random(factors, m, 2**63 + problem).phases()
    composite = books[0][picked[0]]
    for f in range(1, factors):
        composite = composite.bind(books[f][picked[f]])
    found = [index for index, _ in resonator_factorize(composite, books, max_iter)]
    return found == picked


def sweep(args: argparse.Namespace) -> list[Row]:
    rows: list[Row] = []
    for n in args.resolutions:
        for m in args.sizes:
            started = time.perf_counter()
            solved = sum(solve_one(args.dim, n, m, args.factors, args.max_iter, p) for p in range(args.trials))
            rows.append(Row(args.dim, args.factors, n, m, args.trials, solved, solved / args.trials))
            print(f"n={n:<6d} M={m:<5d} solved {solved:4d}/{args.trials}  ({time.perf_counter() - started:.1f} s)",
                  flush=True)
    return rows


def write_csv(path: str, rows: list[Row]) -> None:
    with open(path, "w", newline="") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(field.name for field in dataclasses.fields(Row))
        writer.writerows(dataclasses.astuple(row) for row in rows)


def plot(path: str, rows: list[Row], args: argparse.Namespace) -> bool:
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot written")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 4.2), dpi=120)
    for n in args.resolutions:
        line = [row for row in rows if row.n == n]
        ax.plot([row.codebook_size for row in line], [row.fraction for row in line], marker="o", label=f"n = {n}")
    ax.set_xscale("log", base=2)
    ax.set_xticks(args.sizes, [str(m) for m in args.sizes])
    ax.set_ylim(-0.03, 1.03)
    ax.set_xlabel("codebook size M (entries per factor)")
    ax.set_ylabel("fraction factored correctly")
    ax.set_title(f"resonator capacity: D = {args.dim}, {args.factors} factors, {args.trials} seeded problems per point")
    ax.grid(True, alpha=0.3)
    ax.legend(title="phase resolution")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
    return True


def parse(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=DESCRIPTION)
    parser.add_argument("--dim", type=int, default=1024, help="vector dimension D (default 1024)")
    parser.add_argument("--factors", type=int, default=3, help="number of factors F (default 3)")
    parser.add_argument("--sizes", type=int, nargs="+", default=[4, 8, 16, 32, 64, 128, 256],
                        help="codebook sizes M, each at least 2")
    parser.add_argument("--resolutions", type=int, nargs="+", default=[2, 4, 16, 256],
                        help="phase resolutions n, each in 2..65536")
    parser.add_argument("--trials", type=int, default=100, help="problems per (n, M) point (default 100)")
    parser.add_argument("--max-iter", type=int, default=50, help="resonator sweeps at most (default 50)")
    parser.add_argument("--csv", help="CSV output (default: none, the table is only printed)")
    parser.add_argument("--png", help="PNG output (default: none)")
    args = parser.parse_args(argv)
    if min(args.sizes) < 2 or args.factors < 1 or args.trials < 1:
        parser.error("codebook sizes must be at least 2, factors and trials at least 1")
    return args


def main(argv: list[str]) -> int:
    args = parse(argv)
    rows = sweep(args)
    if args.csv:
        write_csv(args.csv, rows)
        print(f"wrote {args.csv}")
    if args.png and plot(args.png, rows, args):
        print(f"wrote {args.png}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
