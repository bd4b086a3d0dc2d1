"""Every example in examples/ runs to completion and prints what it promises."""

import csv
import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run(script, *args):
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    return done.stdout


# The expected lines follow from how each example builds its data (the records,
# the scenes bound together), not from a previous run.
@pytest.mark.parametrize("script, args, expected", [
    ("demo.py", [], ["bind then unbind gives the filler back: True",
                     "colour   -> blue", "shape    -> star", "position -> edge"]),
    ("role_filler.py", [], ["alice  city=paris", "bob    city=lima", "carol  city=oslo", "dave   city=paris",
                            "lives in paris: alice, dave\n", "16 of 16 queries answered correctly"]),
    ("scene.py", [], ["scene blue * star * edge:", "scene orange * arrow * far:", "3 of 3 scenes recovered"]),
    ("scene.py", ["green", "star", "corner"], ["colour   -> green    index 1", "shape    -> star     index 3",
                                               "position -> corner   index 5", "1 of 1 scenes recovered"]),
])
def test_example_output(script, args, expected):
    out = run(script, *args)
    for line in expected:
        assert line in out


def test_scene_refuses_unknown_names():
    done = subprocess.run([sys.executable, str(EXAMPLES / "scene.py"), "pink", "star", "top"],
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.startswith("usage: scene.py COLOUR SHAPE POSITION")


def test_capacity_sweep_small(tmp_path):
    table, picture = tmp_path / "capacity.csv", tmp_path / "capacity.png"
    # Codebooks of 2 and 3 entries in 512 dimensions are far below the
    # resonator's capacity: every problem must be solved.
    out = run("capacity_sweep.py", "--dim", 512, "--factors", 3, "--sizes", 2, 3, "--resolutions", 4, 64,
              "--trials", 4, "--csv", table, "--png", picture)
    with open(table, newline="") as f:
        rows = list(csv.DictReader(f))
    assert [(r["dim"], r["factors"], r["n"], r["codebook_size"], r["trials"], r["solved"], r["fraction"])
            for r in rows] == [("512", "3", n, m, "4", "4", "1.0") for n in ("4", "64") for m in ("2", "3")]
    assert out.count("solved    4/4") == 4
    if importlib.util.find_spec("matplotlib") is None:
        assert "matplotlib is not installed: no plot written" in out and not picture.exists()
    else:
        assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
