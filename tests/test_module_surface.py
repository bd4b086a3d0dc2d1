import ast
import os
import sys
from importlib.util import find_spec
from pathlib import Path

import pytest
from conftest import REF, outcome

import tesmerine
from tesmerine import PhaseHVec

# The low-level sub-interpreter module: _interpreters from 3.13 on, _xxsubinterpreters before.
interpreters = next((__import__(m) for m in ("_interpreters", "_xxsubinterpreters") if find_spec(m)), None)
STUB = Path(__file__).resolve().parent.parent / "src" / "tesmerine.pyi"


def test_module_and_class_attributes():
    all_ = ["__doc__", "PhaseHVec", "resonator_factorize"]
    assert (tesmerine.__all__, [name for name in vars(tesmerine) if name in all_]) == (all_, all_)  # added in order
    f = tesmerine.resonator_factorize
    assert (f.__name__, f.__module__, f.__self__) == ("resonator_factorize", "tesmerine", tesmerine)
    assert (PhaseHVec.__module__, PhaseHVec.__qualname__, PhaseHVec.dim.__doc__, PhaseHVec.n.__doc__) == (
        "builtins", "PhaseHVec", None, None)
    assert [m.__text_signature__ for m in (PhaseHVec.random, PhaseHVec.bind, PhaseHVec.bundle, f)] == [
        "(dim, n, seed)", "($self, other)", "(items)", "(composite, codebooks, max_iter=50)"]
    # The docstrings are the stub's (stubtest, in scripts/check-package.sh, compares the signatures).
    tree = ast.parse(STUB.read_text())
    stub_class = next(node for node in tree.body if isinstance(node, ast.ClassDef))
    stubbed = {node.name: ast.get_docstring(node) for node in stub_class.body + tree.body
               if isinstance(node, ast.FunctionDef) and node.name not in ("dim", "n")}  # their docstrings are None
    assert (ast.get_docstring(tree), ast.get_docstring(stub_class)) == (tesmerine.__doc__, PhaseHVec.__doc__)
    assert stubbed == {name: getattr(PhaseHVec, name, tesmerine.resonator_factorize).__doc__ for name in stubbed}


def test_instances_are_closed_and_compare_by_identity():
    calls = [PhaseHVec, lambda: PhaseHVec(3, 4), lambda: PhaseHVec(dim=3), lambda: PhaseHVec.__new__(PhaseHVec, 3)]
    assert [outcome(c) for c in calls] == [("TypeError", "cannot create 'builtins.PhaseHVec' instances", [])] * 4
    a, b = PhaseHVec.random(5, 16, 1), PhaseHVec.random(5, 16, 2)
    for attr in ("dim", "n", "extra"):
        pytest.raises(AttributeError, setattr, a, attr, 5)
        pytest.raises(AttributeError, delattr, a, attr)
    pytest.raises(TypeError, a.phases, 1)
    # No subclass and no __class__ assignment either way: every instance's type is the class itself.
    pytest.raises(TypeError, type, "Sub", (PhaseHVec,), {})
    pytest.raises(TypeError, setattr, a, "__class__", type("Other", (), {"__slots__": ("x", "y", "z")}))
    pytest.raises(TypeError, setattr, type("Other", (), {})(), "__class__", PhaseHVec)
    c = a.bind(b).unbind(b)
    assert (c.phases(), c == a, c != a, a == a, hash(a)) == (a.phases(), False, True, True, object.__hash__(a))
    assert a.random(4, 8, 1).phases() == PhaseHVec.random(4, 8, 1).phases()  # static methods through an instance
    assert a.bundle([b]).phases() == b.phases()


@pytest.mark.skipif(interpreters is None, reason="no sub-interpreters in this interpreter")
def test_import_refused_in_a_subinterpreter(tmp_path):
    out = tmp_path / "outcome"
    source = (f"import sys\nsys.path.insert(0, {os.path.dirname(tesmerine.__file__)!r})\ntry:\n    import tesmerine\n"
              "    outcome = 'imported'\nexcept BaseException as exc:\n    outcome = f'{type(exc).__name__}: {exc}'\n"
              f"open({str(out)!r}, 'w').write(outcome)\n")
    for _ in range(2):  # a shared-GIL ("legacy") interpreter, so that the import reaches the module itself
        interp = interpreters.create("legacy") if hasattr(interpreters, "exec") else interpreters.create(isolated=False)
        (getattr(interpreters, "exec", None) or interpreters.run_string)(interp, source)
        interpreters.destroy(interp)
        kind, _, message = out.read_text().partition(": ")
        assert (kind, "tesmerine" in message and "interpreter" in message) == ("ImportError", True), message
    assert (sys.modules["tesmerine"], PhaseHVec.random(8, 16, 42).phases()) == (tesmerine, REF)
