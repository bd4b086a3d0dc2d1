# The >>> examples of the documentation run as doctests: every value printed
# in docs/recipes.md, the README and the guide is what the module returns.

import doctest
from pathlib import Path

import pytest
from conftest import LEAK_CHECKED

ROOT = Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("name", ["docs/recipes.md", "docs/guide.md", "README.md"])
def test_documentation_examples(name, monkeypatch):
    if name == "docs/recipes.md":
        if LEAK_CHECKED:
            pytest.skip("importing NumPy leaks its module's objects, which the leak checkers report")
        pytest.importorskip("numpy")
        monkeypatch.syspath_prepend(str(ROOT / "examples"))  # the recipes import the distributed example's task
    result = doctest.testfile(str(ROOT / name), module_relative=False, optionflags=doctest.ELLIPSIS, verbose=False,
                              raise_on_error=False, report=True)
    assert (result.failed, result.attempted > 0) == (0, True)
