"""Capacity sweep on a Dask cluster: the sweep of capacity_sweep.py, spread over worker processes.

Every tesmerine call holds the interpreter lock for its whole length, so one
Python process factors one composite at a time. This example hands the
problems to Dask distributed: a local cluster of worker processes by default,
or a running cluster with --scheduler ADDRESS (every worker needs tesmerine
installed). A progress bar runs on standard error while the tasks complete.

Vectors do not pickle. A task carries seeds instead, the numbers every vector
of its problems is rebuilt from, and returns plain numbers. That is also how
vectors are saved and sent: keep the seeds and the recipe, rebuild anywhere,
bit for bit. The functions that run on the workers import tesmerine themselves:
Dask sends functions of a script by value, and a global reference to the
PhaseHVec class would make it try to copy the class, which cannot be done.

The CSV is the same, byte for byte, whether the sweep runs serially (--workers 0),
on 2 local workers or on a cluster of any size: results are put in the order of
the tasks, not the order they complete in.

    python examples/distributed_sweep.py --csv capacity.csv              # local cluster, one worker per core
    python examples/distributed_sweep.py --workers 0 --csv serial.csv    # no Dask at all
    python examples/distributed_sweep.py --scheduler tcp://10.0.0.5:8786 --trials 1000 --csv big.csv
"""

from __future__ import annotations

import argparse
import csv
import dataclasses
import os
import sys
from typing import TYPE_CHECKING, Any, Iterable, Iterator

if TYPE_CHECKING:
    from tesmerine import PhaseHVec


@dataclasses.dataclass(frozen=True)
class Task:
    """A batch of seeded problems of one (n, M) point: everything a worker needs, and no vector."""

    dim: int
    n: int
    codebook_size: int
    factors: int
    max_iter: int
    first_problem: int
    problems: int


def problem_vectors(dim: int, n: int, m: int, factors: int, problem: int) -> tuple[list[list[PhaseHVec]], list[int]]:
    # The same seeds as capacity_sweep.py: problem p's codebooks use seeds from
    # p * factors * m on, and the picked indices come from seed 2**63 + p.
    from tesmerine import PhaseHVec

    first = problem * factors * m
    books = [[PhaseHVec.random(dim, n, first + f * m + j) for j in range(m)] for f in range(factors)]
    picked = PhaseHVec.random(factors, m, 2**63 + problem).phases()
    return books, picked


def run_task(task: Task) -> list[bool]:
    """Rebuilds each problem of the batch from its seeds and factors it; True where it is solved."""
    from tesmerine import resonator_factorize

    solved = []
    for problem in range(task.first_problem, task.first_problem + task.problems):
        books, picked = problem_vectors(task.dim, task.n, task.codebook_size, task.factors, problem)
        composite = books[0][picked[0]]
        for f in range(1, task.factors):
            composite = composite.bind(books[f][picked[f]])
        found = [index for index, _ in resonator_factorize(composite, books, task.max_iter)]
        solved.append(found == picked)
    return solved


def make_tasks(args: argparse.Namespace) -> list[Task]:
    tasks = []
    for n in args.resolutions:
        for m in args.sizes:
            for first in range(0, args.trials, args.batch):
                tasks.append(Task(args.dim, n, m, args.factors, args.max_iter, first, min(args.batch, args.trials - first)))
    return tasks


def progress(done: Iterable[int], total: int) -> Iterator[int]:
    """A text progress bar on standard error, advanced once per completed task."""
    count = 0
    for index in done:
        count += 1
        filled = 40 * count // total
        sys.stderr.write(f"\r[{'#' * filled}{'.' * (40 - filled)}] {count}/{total} tasks")
        sys.stderr.flush()
        yield index
    sys.stderr.write("\n")


def run_serial(tasks: list[Task]) -> list[list[bool]]:
    results: list[list[bool]] = [[] for _ in tasks]
    for index in progress(range(len(tasks)), len(tasks)):
        results[index] = run_task(tasks[index])
    return results


def run_dask(tasks: list[Task], workers: int, scheduler: str | None) -> list[list[bool]]:
    import importlib
    import logging

    # Dask's distributed package carries no type information; held as Any.
    distributed: Any = importlib.import_module("distributed")
    Client, LocalCluster, as_completed = distributed.Client, distributed.LocalCluster, distributed.as_completed

    if scheduler:
        cluster = None
        client = Client(scheduler)
    else:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=logging.ERROR)
        client = Client(cluster)
    try:
        # pure=False: equal tasks of two runs are computed afresh, not shared.
        futures = client.map(run_task, tasks, pure=False)
        position = {future.key: index for index, future in enumerate(futures)}
        results: list[list[bool]] = [[] for _ in tasks]

        def completed() -> Iterator[int]:
            for future in as_completed(futures):
                index = position[future.key]
                results[index] = future.result()
                yield index

        for _ in progress(completed(), len(tasks)):
            pass
        return results
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def rows(tasks: list[Task], results: list[list[bool]], trials: int) -> list[list[object]]:
    solved: dict[tuple[int, int], int] = {}
    order: list[tuple[Task, tuple[int, int]]] = []
    for task, flags in zip(tasks, results):
        key = (task.n, task.codebook_size)
        if key not in solved:
            order.append((task, key))
        solved[key] = solved.get(key, 0) + sum(flags)
    return [[t.dim, t.factors, t.n, t.codebook_size, trials, solved[key], solved[key] / trials] for t, key in order]


def parse(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Resonator capacity sweep on Dask distributed.")
    parser.add_argument("--dim", type=int, default=1024, help="vector dimension D (default 1024)")
    parser.add_argument("--factors", type=int, default=3, help="number of factors F (default 3)")
    parser.add_argument("--sizes", type=int, nargs="+", default=[4, 8, 16, 32, 64, 128, 256],
                        help="codebook sizes M, each at least 2")
    parser.add_argument("--resolutions", type=int, nargs="+", default=[2, 4, 16, 256],
                        help="phase resolutions n, each in 2..65536")
    parser.add_argument("--trials", type=int, default=100, help="problems per (n, M) point (default 100)")
    parser.add_argument("--max-iter", type=int, default=50, help="resonator sweeps at most (default 50)")
    parser.add_argument("--batch", type=int, default=10, help="problems per task (default 10)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="local worker processes (default: one per core); 0 runs serially without Dask")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler, instead of a local cluster")
    parser.add_argument("--csv", help="CSV output (default: standard output)")
    args = parser.parse_args(argv)
    if min(args.sizes) < 2 or args.factors < 1 or args.trials < 1 or args.batch < 1 or args.workers < 0:
        parser.error("codebook sizes must be at least 2; factors, trials and batch at least 1; workers at least 0")
    return args


def main(argv: list[str]) -> int:
    args = parse(argv)
    tasks = make_tasks(args)
    if args.scheduler or args.workers > 0:
        results = run_dask(tasks, args.workers, args.scheduler)
    else:
        results = run_serial(tasks)
    table = rows(tasks, results, args.trials)
    out = open(args.csv, "w", newline="") if args.csv else sys.stdout
    try:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["dim", "factors", "n", "codebook_size", "trials", "solved", "fraction"])
        writer.writerows(table)
    finally:
        if args.csv:
            out.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
