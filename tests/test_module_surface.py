import ast
import os
import sys
from importlib.util import find_spec
from pathlib import Path

import pytest
from conftest import REF

import tesmerine
from tesmerine import PhaseHVec

# The low-level sub-interpreter module: _interpreters from 3.13 on, _xxsubinterpreters before.
interpreters = next((__import__(m) for m in ("_interpreters", "_xxsubinterpreters") if find_spec(m)), None)
STUB = Path(__file__).resolve().parent.parent / "src" / "tesmerine.pyi"

ALL = ["__doc__", "PhaseHVec", "resonator_factorize"]
METHODS = ["random", "bind", "unbind", "similarity", "bundle", "phases"]  # in table order


def test_module_and_class_attributes():
    assert tesmerine.__all__ == ALL
    assert type(tesmerine.__all__) is list
    assert [name for name in vars(tesmerine) if name in ALL] == ALL  # added in this order
    f = tesmerine.resonator_factorize
    assert (f.__name__, f.__module__, f.__self__) == ("resonator_factorize", "tesmerine", tesmerine)
    assert (PhaseHVec.__module__, PhaseHVec.__name__, PhaseHVec.__qualname__) == ("builtins", "PhaseHVec", "PhaseHVec")
    assert PhaseHVec.__bases__ == (object,)
    assert PhaseHVec.__text_signature__ is None
    # Nothing but the listed slots and tables: no comparison, hash, __init__, __str__, dict or weakref slot.
    assert set(vars(PhaseHVec)) == {"__module__", "__doc__", "__new__", "__repr__", "dim", "n", *METHODS}
    assert [name for name in vars(PhaseHVec) if name in METHODS] == METHODS
    assert (PhaseHVec.__dictoffset__, PhaseHVec.__weakrefoffset__) == (0, 0)
    assert PhaseHVec.__flags__ & ((1 << 8) | (1 << 10) | (1 << 14)) == 0  # not immutable, not a base type, no GC
    assert [name for name in METHODS if isinstance(vars(PhaseHVec)[name], staticmethod)] == ["random", "bundle"]
    for name in ("dim", "n"):
        assert type(vars(PhaseHVec)[name]).__name__ == "getset_descriptor"
        assert vars(PhaseHVec)[name].__doc__ is None


def test_stub_matches_the_module():  # docstrings, __all__ and parameters; the texts themselves live in the C++
    tree = ast.parse(STUB.read_text())
    stub_class = next(node for node in tree.body if isinstance(node, ast.ClassDef))
    assert ast.get_docstring(tree) == tesmerine.__doc__
    assert ast.get_docstring(stub_class) == PhaseHVec.__doc__
    assert ast.literal_eval(next(node for node in tree.body if isinstance(node, ast.Assign)).value) == ALL
    defs = [node for node in stub_class.body + tree.body if isinstance(node, ast.FunctionDef)]
    defs = [node for node in defs if node.name not in ("dim", "n")]  # the properties have no docstrings here
    assert [node.name for node in defs] == [*METHODS, "resonator_factorize"]
    for node in defs:
        function = getattr(PhaseHVec, node.name, None) or tesmerine.resonator_factorize
        names = ["$self" if arg.arg == "self" else arg.arg for arg in node.args.args]
        defaults = [""] * (len(names) - len(node.args.defaults)) + [f"={ast.unparse(d)}" for d in node.args.defaults]
        assert f"({', '.join(map(str.__add__, names, defaults))})" == function.__text_signature__, node.name
        assert ast.get_docstring(node) == function.__doc__, node.name


def test_instances_are_closed_and_compare_by_identity():
    for call in (PhaseHVec, lambda: PhaseHVec(3, 4), lambda: PhaseHVec(dim=3), lambda: PhaseHVec.__new__(PhaseHVec, 3)):
        assert str(pytest.raises(TypeError, call).value) == "cannot create 'builtins.PhaseHVec' instances"
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
    assert c.phases() == a.phases()
    assert c != a  # equal phases, yet compared by identity
    assert not (c == a)
    assert a == a
    assert hash(a) == object.__hash__(a)
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
        assert kind == "ImportError", message
        assert "tesmerine" in message and "interpreter" in message, message
    assert sys.modules["tesmerine"] is tesmerine
    assert PhaseHVec.random(8, 16, 42).phases() == REF
