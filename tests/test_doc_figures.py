# The counts, sizes and similarities the documentation quotes, checked against what the code gives now (timings
# are the machine's and are not checked). Figures of long measurements are stored by the scripts that make them
# (bench/results/checked-factorization.csv, docs/capacity.csv): the text must quote the stored figures, and a cheap
# part of them is computed afresh.

import csv
import doctest
import functools
import importlib.machinery
import importlib.metadata
import os
import re
import sys
import types
from pathlib import Path

import pytest
from conftest import LEAK_CHECKED, child

from tesmerine import PhaseHVec

ROOT = Path(__file__).resolve().parent.parent
CHECKED_CSV = str(ROOT / "bench" / "results" / "checked-factorization.csv")
CAPACITY = list(csv.DictReader((ROOT / "docs" / "capacity.csv").read_text(encoding="utf-8").splitlines()))
slow_under_valgrind = pytest.mark.skipif(bool(os.environ.get("TESMERINE_VALGRIND")), reason="minutes under valgrind")
def installed(name):  # without importing it
    try:
        return bool(importlib.metadata.distribution(name))
    except importlib.metadata.PackageNotFoundError:
        return False


no_numpy = LEAK_CHECKED or not installed("numpy")  # NumPy's import leaks under the leak checkers


def raw(name):
    return (ROOT / name).read_text(encoding="utf-8")


def text(name):  # a document with its line breaks and indentation folded into single spaces
    return " ".join(raw(name).split())


@functools.lru_cache(maxsize=None)
def load(directory, name):  # a module of bench/ or examples/, without leaving its folder on sys.path
    loader = importlib.machinery.SourceFileLoader(name, str(ROOT / directory / f"{name}.py"))
    sys.modules[name] = module = types.ModuleType(name)  # dataclasses look their module up there
    module.__file__ = loader.path
    sys.path.insert(0, str(ROOT / directory))
    try:
        loader.exec_module(module)
    finally:
        sys.path.remove(str(ROOT / directory))
    return module


def test_the_checked_tables_are_the_stored_run():
    checked_figures = load("bench", "checked_figures")
    rows = checked_figures.read_csv(CHECKED_CSV)
    assert [table in raw("docs/recipes.md") for table in checked_figures.tables(rows).split("\n\n")] == [True] * 2
    assert sorted({(row.factors, row.n) for row in rows}) == [(f, n) for f in (2, 3, 4, 5) for n in (2, 16, 256)]


# The plain and checked counts of one row afresh, and the textbook model's of a point where it is quick (its
# continuous phases settle slowly at n = 16 and 256).
@slow_under_valgrind
@pytest.mark.parametrize("factors, m, n, textbook", [(5, 6, 2, False), (5, 6, 16, False), (5, 6, 256, False),
                                                     (4, 10, 2, True)])
def test_stored_counts_recomputed(factors, m, n, textbook):
    if textbook and no_numpy:
        pytest.skip("the textbook model needs NumPy")
    checked_figures = load("bench", "checked_figures")
    stored = next(row for row in checked_figures.read_csv(CHECKED_CSV)
                  if (row.factors, row.codebook_size, row.n) == (factors, m, n))
    fresh = checked_figures.measure(stored.dim, n, m, factors, stored.trials, textbook, never=not textbook)
    assert (fresh.plain, fresh.checked, fresh.textbook) == (stored.plain, stored.checked,
                                                            stored.textbook if textbook else -1)


def test_the_capacity_tables_are_the_stored_sweep():
    lines = [f"| n = {n} | " + " | ".join(f"{float(row['fraction']):.2f}" for row in CAPACITY if int(row["n"]) == n)
             + " |" for n in sorted({int(row["n"]) for row in CAPACITY})]
    readme, recipes = text("README.md"), text("docs/recipes.md")
    assert [(line in readme, line in recipes) for line in lines] == [(True, True)] * len(lines)


def test_the_capacity_sweep_recomputed_at_small_codebooks():
    solve_one = load("examples", "capacity_sweep").solve_one
    stored = {(int(row["n"]), int(row["codebook_size"])): int(row["solved"]) for row in CAPACITY
              if int(row["codebook_size"]) <= 8}
    assert {(n, m): sum(solve_one(1024, n, m, 3, 50, p) for p in range(100)) for n, m in stored} == stored


def test_the_quoted_example_runs():
    done = child(ROOT / "examples" / "checked_factorize.py")
    plain, checked = re.search(r"resonator_factorize alone (\d+)/100, factor_checked (\d+)/100", done.stdout).groups()
    assert f"it factors {checked} of 100 problems, the plain call {plain}." in text("README.md")
    assert f"The plain call factors {plain} of 100 problems at n = 2" in text("docs/recipes.md")
    assert child(ROOT / "examples" / "scene.py", "--all").stdout == "512 of 512 scenes recovered\n"
    assert "(`--all` factors all 512 scenes: all are recovered)" in text("README.md")


def test_the_numpy_export_size():
    if no_numpy:
        pytest.skip("needs NumPy")
    import numpy as np
    # The recipe's own export function, run on two vectors.
    source = next(example.source for example in doctest.DocTestParser().get_examples(raw("docs/recipes.md"))
                  if example.source.startswith("def phasors("))
    exec(source, scope := {"np": np})
    dtype = scope["phasors"]([PhaseHVec.random(4, 256, s) for s in range(2)]).dtype
    m, dim, mib, name = re.search(r"At M = ([\d ]+) and D = (\d+) the export takes [\d.]+ s once and (\d+) MiB as "
                                  r"(\w+)", text("docs/recipes.md")).groups()
    assert (name, int(mib)) == (str(dtype), round(int(m.replace(" ", "")) * int(dim) * dtype.itemsize / 2**20))


def test_seeds_with_the_top_bit_set():
    table = raw("docs/recipes.md").split("| seeds 7 and 7 + 2**63 |\n")[1]
    rows = re.findall(r"^\| (\d+) \| [^|]+ \| [^|]+ \| [^|]+ \| ([^|]+) \|$", table.split("\n\n")[0], re.M)
    quoted = {int(n): re.search(r"−?\d\.\d{3}", cell).group() for n, cell in rows}
    similarities = {n: PhaseHVec.random(1500, n, 7).similarity(PhaseHVec.random(1500, n, 7 + 2**63)) for n in quoted}
    fresh = {n: f"{s:.3f}".replace("-", "−") for n, s in similarities.items()}
    assert (sorted(quoted), quoted) == ([2, 4, 16, 256], fresh)


@slow_under_valgrind
def test_the_cleanup_queries():
    recipe_figures = load("bench", "recipe_figures")
    dim, n, m, right, queries = re.search(r"cleanup memory of D = (\d+), n = (\d+), M = ([\d ]+): .*? (\d+) of (\d+) "
                                          r"queries answered right", text("docs/recipes.md")).groups()
    memory, probes, expected = recipe_figures.cleanup_memory(int(dim), int(n), int(m.replace(" ", "")), int(queries))
    assert sum(recipe_figures.nearest(q, memory) == e for q, e in zip(probes, expected)) == int(right)
