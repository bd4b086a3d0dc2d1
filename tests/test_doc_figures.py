# The counts, sizes and similarities the documentation quotes, checked against what the code gives
# now (timings are the machine's and are not checked). Figures of long measurements are stored by
# the scripts that make them (bench/results/checked-factorization.csv, docs/capacity.csv): the text
# must quote the stored figures, and a cheap part of them is computed afresh.

import csv
import doctest
import importlib.util
import os
import re
import sys
from pathlib import Path

import pytest
from conftest import child

from tesmerine import PhaseHVec

ROOT = Path(__file__).resolve().parent.parent
CHECKED_CSV = ROOT / "bench" / "results" / "checked-factorization.csv"
# NumPy's import leaks its module's objects, which the leak checkers report; valgrind makes the
# recomputations take minutes.
LEAK_CHECKED = bool(os.environ.get("TESMERINE_SANITIZED") or os.environ.get("TESMERINE_VALGRIND"))
slow_under_valgrind = pytest.mark.skipif(bool(os.environ.get("TESMERINE_VALGRIND")), reason="minutes under valgrind")


def text(name):  # a document with its line breaks and indentation folded into single spaces
    return " ".join((ROOT / name).read_text(encoding="utf-8").split())


def load(directory, name):  # a module of bench/ or examples/, without leaving its folder on sys.path
    spec = importlib.util.spec_from_file_location(name, ROOT / directory / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses look their module up there
    sys.path.insert(0, str(ROOT / directory))
    try:
        spec.loader.exec_module(module)
    finally:
        sys.path.remove(str(ROOT / directory))
    return module


@pytest.fixture(scope="module")
def checked_figures():
    return load("bench", "checked_figures")


def test_the_checked_tables_are_the_stored_run(checked_figures):
    rows = checked_figures.read_csv(str(CHECKED_CSV))
    rates, times = checked_figures.tables(rows).split("\n\n")
    recipes = (ROOT / "docs" / "recipes.md").read_text(encoding="utf-8")
    assert (rates in recipes, times in recipes) == (True, True)
    assert sorted({(row.factors, row.n) for row in rows}) == [(f, n) for f in (2, 3, 4, 5) for n in (2, 16, 256)]


# The plain and checked counts of one row afresh, and the textbook model's of a point where it is
# quick (its continuous phases settle slowly at n = 16 and 256).
@slow_under_valgrind
@pytest.mark.parametrize("factors, m, n, textbook", [(5, 6, 2, False), (5, 6, 16, False), (5, 6, 256, False),
                                                     (4, 10, 2, True)])
def test_stored_counts_recomputed(checked_figures, factors, m, n, textbook):
    if textbook and (LEAK_CHECKED or importlib.util.find_spec("numpy") is None):
        pytest.skip("the textbook model needs NumPy, whose import leaks under the leak checkers")
    stored = next(row for row in checked_figures.read_csv(str(CHECKED_CSV))
                  if (row.factors, row.codebook_size, row.n) == (factors, m, n))
    fresh = checked_figures.measure(stored.dim, n, m, factors, stored.trials, textbook, never=not textbook)
    assert (fresh.plain, fresh.checked, fresh.textbook) == (stored.plain, stored.checked,
                                                            stored.textbook if textbook else -1)


def test_the_capacity_tables_are_the_stored_sweep():
    with open(ROOT / "docs" / "capacity.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    for n in sorted({int(row["n"]) for row in rows}):
        line = f"| n = {n} | " + " | ".join(f"{float(row['fraction']):.2f}" for row in rows if int(row["n"]) == n) + " |"
        assert (line in text("README.md"), line in text("docs/recipes.md")) == (True, True), line


def test_the_capacity_sweep_recomputed_at_small_codebooks():
    capacity_sweep = load("examples", "capacity_sweep")
    with open(ROOT / "docs" / "capacity.csv", newline="") as f:
        stored = {(int(row["n"]), int(row["codebook_size"])): int(row["solved"]) for row in csv.DictReader(f)
                  if int(row["codebook_size"]) <= 8}
    assert {(n, m): sum(capacity_sweep.solve_one(1024, n, m, 3, 50, p) for p in range(100)) for n, m in stored} == stored


def test_the_checked_example_counts():
    done = child(ROOT / "examples" / "checked_factorize.py")
    plain, checked = map(int, re.search(r"resonator_factorize alone (\d+)/100, factor_checked (\d+)/100",
                                        done.stdout).groups())
    quoted = re.search(r"it factors (\d+) of 100 problems, the plain call (\d+)\.", text("README.md")).groups()
    assert (tuple(map(int, quoted)), f"The plain call factors {plain} of 100 problems at n = 2" in text(
        "docs/recipes.md")) == ((checked, plain), True)


def test_every_scene_is_recovered():
    done = child(ROOT / "examples" / "scene.py", "--all")
    assert done.stdout == "512 of 512 scenes recovered\n"
    assert "(`--all` factors all 512 scenes: all are recovered)" in text("README.md")


def test_the_numpy_export_size():
    if LEAK_CHECKED:
        pytest.skip("importing NumPy leaks its module's objects, which the leak checkers report")
    np = pytest.importorskip("numpy")
    recipes = (ROOT / "docs" / "recipes.md").read_text(encoding="utf-8")
    # The recipe's own export function, run on two vectors.
    source = next(example.source for example in doctest.DocTestParser().get_examples(recipes)
                  if example.source.startswith("def phasors("))
    scope = {"np": np}
    exec(source, scope)
    dtype = scope["phasors"]([PhaseHVec.random(4, 256, s) for s in range(2)]).dtype
    m, dim, mib, name = re.search(r"At M = ([\d ]+) and D = (\d+) the export takes [\d.]+ s once and (\d+) MiB as (\w+)",
                                  text("docs/recipes.md")).groups()
    assert (name, int(mib)) == (str(dtype), round(int(m.replace(" ", "")) * int(dim) * dtype.itemsize / 2**20))


def test_the_empty_instance():
    script = """
from tesmerine import PhaseHVec, resonator_factorize
PhaseHVec.__new__ = lambda cls: object.__new__(cls)
e = PhaseHVec()
print(repr(e.similarity(e)), e.bind(e).phases(), e.unbind(e).phases(), PhaseHVec.bundle([e, e]).phases(),
      resonator_factorize(e, [[e, e], []]), sep="; ")
"""
    done = child("-c", script, timeout=60)
    similarity, bound, unbound, bundled, factored = done.stdout.strip().split("; ")
    assert bound == unbound == bundled
    assert (f"`e.similarity(e)` is {similarity}" in text("docs/guide.md"),
            f"give instances of `dim` 0 whose `phases()` is `{bound}`" in text("docs/guide.md"),
            f"`resonator_factorize(e, [[e, e], []])` is `{factored}`" in text("docs/guide.md")) == (True, True, True)


def test_seeds_with_the_top_bit_set():
    table = (ROOT / "docs" / "recipes.md").read_text(encoding="utf-8").split("| seeds 7 and 7 + 2**63 |\n")[1]
    rows = re.findall(r"^\| (\d+) \| [^|]+ \| [^|]+ \| [^|]+ \| ([^|]+) \|$", table.split("\n\n")[0], re.M)
    quoted = {int(n): re.search(r"−?\d\.\d{3}", cell).group() for n, cell in rows}
    fresh = {n: f"{PhaseHVec.random(1500, n, 7).similarity(PhaseHVec.random(1500, n, 7 + 2**63)):.3f}".replace("-", "−")
             for n in quoted}
    assert (sorted(quoted), quoted) == ([2, 4, 16, 256], fresh)


@slow_under_valgrind
def test_the_cleanup_queries():
    recipe_figures = load("bench", "recipe_figures")
    dim, n, m, right, queries = re.search(r"cleanup memory of D = (\d+), n = (\d+), M = ([\d ]+): .*? (\d+) of (\d+) "
                                          r"queries answered right", text("docs/recipes.md")).groups()
    memory, probes, expected = recipe_figures.cleanup_memory(int(dim), int(n), int(m.replace(" ", "")), int(queries))
    assert sum(recipe_figures.nearest(q, memory) == e for q, e in zip(probes, expected)) == int(right)
