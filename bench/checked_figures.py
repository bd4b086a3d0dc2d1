"""The checked factorization against the plain resonator call and a textbook resonator network.

    python bench/checked_figures.py --csv bench/results/checked-factorization.csv
    python bench/checked_figures.py --points 5:6 --resolutions 2 --trials 40     # one point
    python bench/checked_figures.py --table bench/results/checked-factorization.csv   # the tables only
    python bench/checked_figures.py --csv new.csv --textbook-from bench/results/checked-factorization.csv

For every point (F factors, codebooks of M entries, resolution n, D = 1500 by
default) it makes `trials` seeded problems, the seeds of
examples/capacity_sweep.py (fresh codebooks per problem, one entry picked from
each, the composite bound from them), and counts the problems that each of
these solves exactly:

- plain: `resonator_factorize(composite, codebooks)`;
- checked: `tesmerine_checked.factor_checked(composite, codebooks)`, every
  answer verified by rebuilding (a wrong answer stops the script);
- textbook: the NumPy model of bench/textbook_resonator.py, run at every M
  up to the first where it solves under 90 % and, past that, wherever the
  checked call solves under 95 % (it runs to its cap of sweeps on every
  problem it fails, which takes long at large sizes).

It times the plain and the checked call on every problem (one core, time per
problem = mean), writes one CSV row per point as it goes, and prints the two
Markdown tables of docs/recipes.md with the machine and the commit they were
measured on. The counts are the same on every run; the times are the machine's.
"""

from __future__ import annotations

import argparse
import csv
import dataclasses
import sys
import time
from pathlib import Path
from typing import Dict, List, Optional, Tuple

from tesmerine import PhaseHVec, resonator_factorize
from tesmerine_checked import factor_checked, is_exact, rebuild

sys.path.insert(0, str(Path(__file__).resolve().parent))
from provenance import machine  # noqa: E402
DEFAULT_POINTS = ["3:40,80,120,160,240,480", "4:10,20,30,40,60,120", "5:6,9,12,16,24,32,48",
                  "2:250,500,1000,2000,4000"]


@dataclasses.dataclass
class Row:
    """One point; its fields are the CSV columns, in order. textbook is -1 where the model was not run."""

    dim: int
    factors: int
    n: int
    codebook_size: int
    trials: int
    plain: int
    checked: int
    textbook: int
    plain_ms: float
    checked_ms: float


def problem(dim: int, n: int, m: int, factors: int, p: int) -> Tuple[List[List[PhaseHVec]], List[int], PhaseHVec]:
    """The seeds of examples/capacity_sweep.py: problem p's codebooks start at seed p*F*M."""
    first = p * factors * m
    books = [[PhaseHVec.random(dim, n, first + f * m + j) for j in range(m)] for f in range(factors)]
    picked = PhaseHVec.random(factors, m, 2**63 + p).phases()
    return books, picked, rebuild(books, picked)


def textbook_solves(books: List[List[PhaseHVec]], picked: List[int], composite: PhaseHVec) -> bool:
    import numpy as np
    import textbook_resonator

    n = composite.n
    phasor_books = [textbook_resonator.phasors(np.array([v.phases() for v in book]), n) for book in books]
    found, _ = textbook_resonator.factorize(textbook_resonator.phasors(np.array(composite.phases()), n), phasor_books)
    return found == picked


def measure(dim: int, n: int, m: int, factors: int, trials: int, textbook: bool, never: bool = False,
            stored: Optional[int] = None) -> Row:
    """The counts and times of one point; the textbook model runs if `textbook`, or if the checked
    call solves under 95 % (and not `never`). A `stored` count of the model is taken instead of
    running it: the model does not depend on tesmerine_checked."""
    plain = checked = solved_by_textbook = 0
    t_plain = t_checked = 0.0
    for p in range(trials):
        books, picked, composite = problem(dim, n, m, factors, p)
        started = time.perf_counter()
        result = resonator_factorize(composite, books)
        t_plain += time.perf_counter() - started
        plain += [j for j, _ in result] == picked
        started = time.perf_counter()
        answer = factor_checked(composite, books)
        t_checked += time.perf_counter() - started
        if answer is not None and not is_exact(composite, books, answer):
            raise AssertionError(f"factor_checked returned a wrong answer: F={factors} M={m} n={n} problem {p}")
        checked += answer == picked
    if not never and (textbook or 20 * checked < 19 * trials):
        textbook = True
        if stored is not None:
            solved_by_textbook = stored
        else:
            for p in range(trials):
                solved_by_textbook += textbook_solves(*problem(dim, n, m, factors, p))
    return Row(dim, factors, n, m, trials, plain, checked, solved_by_textbook if textbook else -1,
               round(1e3 * t_plain / trials, 2), round(1e3 * t_checked / trials, 2))


def percent(count: int, trials: int) -> str:
    return f"{100 * count / trials:.0f}"


def tables(rows: List[Row]) -> str:
    """The two Markdown tables of docs/recipes.md: rates (%), then time per problem."""
    resolutions = sorted({row.n for row in rows})
    points = sorted({(row.factors, row.codebook_size, row.dim, row.trials) for row in rows})
    by_key: Dict[Tuple[int, int, int], Row] = {(row.factors, row.codebook_size, row.n): row for row in rows}
    head = "| F | M | " + " | ".join(f"n = {n}" for n in resolutions) + " |"
    rule = "|---|---|" + "---|" * len(resolutions)
    rates = [head, rule]
    times = [head, rule]
    for factors, m, _, _ in points:
        cells, time_cells = [], []
        for n in resolutions:
            row: Optional[Row] = by_key.get((factors, m, n))
            if row is None:
                cells.append("")
                time_cells.append("")
                continue
            textbook = percent(row.textbook, row.trials) if row.textbook >= 0 else "–"
            cells.append(f"{percent(row.plain, row.trials)} / {percent(row.checked, row.trials)} / {textbook}")
            ratio = row.checked_ms / row.plain_ms if row.plain_ms else float("nan")
            time_cells.append(f"{row.plain_ms:.1f} / {row.checked_ms:.1f} ({ratio:.1f}×)")
        rates.append(f"| {factors} | {m} | " + " | ".join(cells) + " |")
        times.append(f"| {factors} | {m} | " + " | ".join(time_cells) + " |")
    return "\n".join(rates) + "\n\n" + "\n".join(times)


def read_csv(path: str) -> List[Row]:
    with open(path, newline="") as f:
        return [Row(*(float(v) if name.endswith("_ms") else int(v)
                      for name, v in zip([x.name for x in dataclasses.fields(Row)], record)))
                for record in list(csv.reader(f))[1:]]


def parse(argv: List[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Plain, checked and textbook factorization rates and times.")
    parser.add_argument("--dim", type=int, default=1500, help="vector dimension D (default 1500)")
    parser.add_argument("--points", nargs="+", default=DEFAULT_POINTS, metavar="F:M,M,...",
                        help="factors and codebook sizes (default: %(default)s)")
    parser.add_argument("--resolutions", type=int, nargs="+", default=[2, 16, 256], help="phase resolutions n")
    parser.add_argument("--trials", type=int, default=40, help="problems per point (default 40)")
    parser.add_argument("--no-textbook", action="store_true", help="skip the NumPy textbook network")
    parser.add_argument("--csv", help="write one row per point here, as the points complete")
    parser.add_argument("--textbook-from", metavar="CSV",
                        help="take the textbook model's counts from an earlier run's CSV where it has them")
    parser.add_argument("--table", metavar="CSV", help="print the tables of an existing CSV and stop")
    return parser.parse_args(argv)


def main(argv: List[str]) -> int:
    args = parse(argv)
    if args.table:
        print(tables(read_csv(args.table)))
        return 0
    where = machine()  # at the start: the commit measured, even if the tree changes meanwhile
    print(f"measured on: {where}", flush=True)
    out = open(args.csv, "w", newline="") if args.csv else None
    writer = csv.writer(out, lineterminator="\n") if out else None
    if writer:
        writer.writerow(field.name for field in dataclasses.fields(Row))
    rows: List[Row] = []
    earlier = {(row.dim, row.factors, row.n, row.codebook_size, row.trials): row.textbook
               for row in (read_csv(args.textbook_from) if args.textbook_from else []) if row.textbook >= 0}
    for point in args.points:
        factors, sizes = point.split(":")
        for n in args.resolutions:
            textbook = not args.no_textbook
            for m in map(int, sizes.split(",")):
                row = measure(args.dim, n, m, int(factors), args.trials, textbook, args.no_textbook,
                              earlier.get((args.dim, int(factors), n, m, args.trials)))
                rows.append(row)
                # The model runs to its cap of sweeps on every problem it fails, which is slow
                # at large sizes: past the first size where it solves under 90 %, it runs only
                # where the checked call solves under 95 %.
                textbook = textbook and 10 * row.textbook >= 9 * row.trials
                print(f"F={row.factors} n={n:<3d} M={m:<4d} plain {row.plain:2d}/{row.trials} checked "
                      f"{row.checked:2d}/{row.trials} textbook {row.textbook:2d}/{row.trials}   time per problem "
                      f"plain {row.plain_ms:.1f} ms, checked {row.checked_ms:.1f} ms", flush=True)
                if writer and out:
                    writer.writerow(dataclasses.astuple(row))
                    out.flush()
    if out:
        out.close()
    print()
    print(tables(rows))
    print(f"\nmeasured on: {where}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
