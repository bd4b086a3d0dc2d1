# Every example in examples/ runs to completion and prints what it promises.

import csv
import importlib.util
from pathlib import Path

import pytest
from conftest import SANITIZED, child

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


# The expected lines follow from how each example builds its data (the records,
# the scenes bound together), not from a previous run.
@pytest.mark.parametrize("argv, status, expected", [
    (["demo.py"], 0, ["bind then unbind gives the filler back: True",
                      "colour   -> blue", "shape    -> star", "position -> edge"]),
    (["role_filler.py"], 0, ["alice  city=paris", "bob    city=lima", "carol  city=oslo", "dave   city=paris",
                             "lives in paris: alice, dave\n", "16 of 16 queries answered correctly"]),
    (["scene.py"], 0, ["scene blue * star * edge:", "scene orange * arrow * far:", "3 of 3 scenes recovered"]),
    (["scene.py", "green", "star", "corner"], 0, ["colour   -> green    index 1", "shape    -> star     index 3",
                                                  "position -> corner   index 5", "1 of 1 scenes recovered"]),
    (["scene.py", "pink", "star", "top"], 2, []),  # refused: the usage goes to standard error
    (["scene.py", "--all", "red"], 2, [])])
def test_example_output(argv, status, expected):
    done = child(EXAMPLES / argv[0], *argv[1:])
    assert (done.returncode, [line for line in expected if line not in done.stdout]) == (status, []), done.stderr
    assert (done.stdout == "" and done.stderr.startswith("usage: scene.py [-h] [--all | COLOUR SHAPE POSITION]\n")
            and "scene.py: error: " in done.stderr) if status else done.stderr == ""


# --help describes the example and runs nothing: the output is the usage alone, and comes at once
# even from the examples whose default run takes many seconds.
@pytest.mark.parametrize("name", sorted(path.name for path in EXAMPLES.glob("*.py")))
def test_example_help(name):  # 3.9 titles the options "optional arguments"
    done = child(EXAMPLES / name, "--help", timeout=30)
    titled = "options:" in done.stdout or "optional arguments:" in done.stdout
    assert (done.returncode, done.stderr, done.stdout.startswith(f"usage: {name} [-h]"), titled) == (0, "", True, True)


def test_capacity_sweep_small(tmp_path):
    table, picture = tmp_path / "capacity.csv", tmp_path / "capacity.png"
    # Codebooks of 2 and 3 entries in 512 dimensions are far below the
    # resonator's capacity: every problem must be solved.
    done = child(EXAMPLES / "capacity_sweep.py", "--dim", 512, "--factors", 3, "--sizes", 2, 3, "--resolutions", 4, 64,
                 "--trials", 4, "--csv", table, "--png", picture)
    assert (done.returncode, done.stdout.count("solved    4/4")) == (0, 4), done.stderr
    with open(table, newline="") as f:
        assert list(csv.reader(f)) == [["dim", "factors", "n", "codebook_size", "trials", "solved", "fraction"], *[
            ["512", "3", n, m, "4", "4", "1.0"] for n in ("4", "64") for m in ("2", "3")]]
    no_plot = "matplotlib is not installed: no plot written" in done.stdout and not picture.exists()
    png = picture.exists() and picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert no_plot if importlib.util.find_spec("matplotlib") is None else png


# Dask's own processes leave interpreter objects behind at exit, which LeakSanitizer reports.
@pytest.mark.skipif(SANITIZED, reason="Dask's processes leak at exit")
def test_distributed_sweep_same_bytes(tmp_path):
    pytest.importorskip("distributed")
    # M = 24 at D = 256 is past the resonator's capacity, so the table holds
    # failures as well as successes; it must not depend on where tasks ran.
    point = ["--dim", 256, "--factors", 3, "--sizes", 4, 24, "--resolutions", 2, 16, "--trials", 6]
    tables = {}
    for name, extra in [("serial", ["--workers", 0]), ("two", ["--workers", 2, "--batch", 2])]:
        tables[name] = tmp_path / f"{name}.csv"
        done = child(EXAMPLES / "distributed_sweep.py", *point, *extra, "--csv", tables[name])
        assert done.returncode == 0 and done.stderr.rstrip().endswith("tasks"), done.stderr
    done = child(EXAMPLES / "capacity_sweep.py", *point, "--csv", tmp_path / "capacity.csv")
    assert done.returncode == 0, done.stderr
    serial = tables["serial"].read_bytes()
    assert serial == tables["two"].read_bytes() == (tmp_path / "capacity.csv").read_bytes()
    assert serial.startswith(b"dim,factors,n,codebook_size,trials,solved,fraction\n256,3,2,4,6,6,1.0\n")
